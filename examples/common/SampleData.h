#ifndef ERRAND_EXAMPLES_SAMPLEDATA_H
#define ERRAND_EXAMPLES_SAMPLEDATA_H

#include <QtCore/QString>

class QTemporaryDir;

namespace SampleData {

/**
 * Writes a small, always identical tree of files below @p dir (sources with to-do markers,
 * notes, logs, binary blobs; from empty to about a megabyte). Returns the number of files
 * written, or -1 with @p error set.
 */
int generate(const QString &dir, QString *error);

/**
 * The directory a windowed example indexes: @p named, or, when that is empty or @p useSample is
 * set, a sample generated into @p sample. Returns 0 with @p directory set, or the exit status
 * after telling stderr why not, as @p program: 1 if the sample cannot be written, 2 for a named
 * directory that does not exist.
 */
int chooseDirectory(const char *program, const QString &named, bool useSample, const QTemporaryDir &sample,
    QString *directory);

} // namespace SampleData

#endif // ERRAND_EXAMPLES_SAMPLEDATA_H
