// errand-demo: indexes the files below a directory with an Errand work queue and prints the
// queue as it goes. See examples/README.md for a walk through its output.

#include "Demo.h"
#include "SampleData.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTextStream>
#include <QtCore/QThreadPool>

namespace {

const int UsageError = 2;

int usageError(const QString &message)
{
    QTextStream(stderr) << "errand-demo: " << message << "\nTry 'errand-demo --help' for more information.\n";
    return UsageError;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("errand-demo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Indexes the files below a directory (digests, line counts, to-do lines) through an Errand "
                       "work queue, printing the queue as it changes."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption autoAbort(
        QStringLiteral("auto-abort"), QStringLiteral("Let the urgent job abort the job that is running."));
    const QCommandLineOption maxFinished(QStringLiteral("max-finished"),
        QStringLiteral("Finished jobs the table keeps showing (default 3)."), QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption quiet(
        QStringLiteral("quiet"), QStringLiteral("Leave out the live table and the lines of jobs that succeed."));
    parser.addOptions({ autoAbort, maxFinished, quiet });
    parser.addPositionalArgument(QStringLiteral("directory"),
        QStringLiteral("Directory to index (default: a generated sample)."), QStringLiteral("[directory]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }

    DemoOptions options;
    options.autoAbort = parser.isSet(autoAbort);
    options.quiet = parser.isSet(quiet);
    bool numeric = false;
    options.maxFinished = parser.value(maxFinished).toUInt(&numeric);
    if (!numeric)
        return usageError(
            QStringLiteral("--max-finished needs a non-negative number, not '%1'").arg(parser.value(maxFinished)));

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usageError(QStringLiteral("one directory at most, got %1 arguments").arg(positional.size()));

    // Declared before the demo: the sample must outlive every task reading from it.
    QTemporaryDir sample;
    if (positional.isEmpty()) {
        QString error;
        if (!sample.isValid() || SampleData::generate(sample.path(), &error) < 0) {
            QTextStream(stderr) << "errand-demo: cannot create the sample: "
                                << (sample.isValid() ? error : sample.errorString()) << "\n";
            return 1;
        }
        options.directory = sample.path();
        options.generated = true;
    } else {
        options.directory = positional.first();
        if (!QFileInfo(options.directory).isDir())
            return usageError(QStringLiteral("no such directory: %1").arg(options.directory));
    }

    int status = 0;
    {
        Demo demo(options);
        QObject::connect(&demo, &Demo::done, &app, &QCoreApplication::quit);
        QMetaObject::invokeMethod(&demo, &Demo::start, Qt::QueuedConnection);
        status = QCoreApplication::exec();
        // An aborted task's work may still be winding down; it reports to no one.
        QThreadPool::globalInstance()->waitForDone();
    }
    // The tasks released with the jobs above were handed to deleteLater().
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
