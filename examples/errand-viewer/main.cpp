// errand-viewer: a Widgets view of an Errand work queue indexing files. With --screenshot it
// plays a fixed scenario on the generated sample and saves the window as a PNG.

#include "ViewerWindow.h"
#include "WindowOptions.h"

#include <QtCore/QTemporaryDir>
#include <QtCore/QThreadPool>
#include <QtWidgets/QApplication>

int main(int argc, char *argv[])
{
    WindowOptions::prepareScreenshot(argc, argv); // before the application picks its platform
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("errand-viewer"));
    QTemporaryDir sample;
    WindowOptions options;
    if (const int failed = options.parse(app, QStringLiteral("Shows an Errand work queue indexing files."),
            QStringLiteral("Play a fixed scenario on the generated sample, save the window to <file> (PNG) and quit."),
            sample))
        return failed;

    int status = 0;
    {
        ViewerWindow window(options.directory);
        window.resize(940, 460);
        window.show();
        if (!options.screenshot.isEmpty()) {
            QObject::connect(&window, &ViewerWindow::screenshotDone, &app,
                [](bool saved) { QCoreApplication::exit(saved ? 0 : 1); });
            window.screenshot(options.screenshot);
        }
        status = QApplication::exec();
        QThreadPool::globalInstance()->waitForDone();
    }
    // The tasks released with the jobs above were handed to deleteLater().
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
