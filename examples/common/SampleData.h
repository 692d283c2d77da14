#ifndef ERRAND_EXAMPLES_SAMPLEDATA_H
#define ERRAND_EXAMPLES_SAMPLEDATA_H

#include <QtCore/QString>

namespace SampleData {

/**
 * Writes a small, always identical tree of files below @p dir (sources with to-do markers,
 * notes, logs, binary blobs; from empty to about a megabyte). Returns the number of files
 * written, or -1 with @p error set.
 */
int generate(const QString &dir, QString *error);

} // namespace SampleData

#endif // ERRAND_EXAMPLES_SAMPLEDATA_H
