// errand-viewer: a Widgets view of an Errand work queue indexing files. With --screenshot it
// plays a fixed scenario on the generated sample and saves the window as a PNG.

#include "SampleData.h"
#include "ViewerWindow.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThreadPool>
#include <QtWidgets/QApplication>

int main(int argc, char *argv[])
{
    // The screenshot needs no display; the platform must be chosen before QApplication exists.
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--screenshot") == 0 && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("errand-viewer"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows an Errand work queue indexing files."));
    parser.addHelpOption();
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
        QStringLiteral("Play a fixed scenario on the generated sample, save the "
                       "window to <file> (PNG) and quit."),
        QStringLiteral("file"));
    parser.addOption(screenshot);
    parser.addPositionalArgument(QStringLiteral("directory"),
        QStringLiteral("Directory to index (default: a generated sample)."), QStringLiteral("[directory]"));
    parser.process(app);

    QTemporaryDir sample;
    QString directory;
    if (const int failed = SampleData::chooseDirectory("errand-viewer", parser.positionalArguments().value(0),
            parser.isSet(screenshot), sample, &directory))
        return failed;

    int status = 0;
    {
        ViewerWindow window(directory);
        window.resize(940, 460);
        window.show();
        if (parser.isSet(screenshot)) {
            QObject::connect(&window, &ViewerWindow::screenshotDone, &app,
                [](bool saved) { QCoreApplication::exit(saved ? 0 : 1); });
            window.screenshot(parser.value(screenshot));
        }
        status = QApplication::exec();
        QThreadPool::globalInstance()->waitForDone();
    }
    // The tasks released with the jobs above were handed to deleteLater().
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
