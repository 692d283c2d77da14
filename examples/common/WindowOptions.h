#ifndef ERRAND_EXAMPLES_WINDOWOPTIONS_H
#define ERRAND_EXAMPLES_WINDOWOPTIONS_H

#include <QtCore/QString>

class QCoreApplication;
class QTemporaryDir;

/**
 * The command line of the windowed examples: `[directory] [--screenshot <file>]`. Without a
 * directory, or with --screenshot, they index a sample generated into a temporary directory;
 * without --screenshot, the work on the sample's small files is paced (WorkPacing::pace()) so
 * that progress can be seen.
 */
struct WindowOptions
{
    QString directory;
    QString screenshot; ///< Where to save the window before quitting; empty to run normally.

    /**
     * Before the application exists: true if --screenshot was asked for, in which case the
     * offscreen platform is chosen (unless QT_QPA_PLATFORM says otherwise), so that no display
     * is needed.
     */
    static bool prepareScreenshot(int argc, char **argv);

    /**
     * Parses the command line of @p app, described by @p description, with @p screenshotHelp
     * for --screenshot, and generates the sample into @p sample when it is needed. Returns 0, or
     * the exit status after telling stderr why not: 1 if the sample cannot be written, 2 for a
     * directory that does not exist. --help exits from here.
     */
    int parse(const QCoreApplication &app, const QString &description, const QString &screenshotHelp,
        const QTemporaryDir &sample);
};

#endif // ERRAND_EXAMPLES_WINDOWOPTIONS_H
