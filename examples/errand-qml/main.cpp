// errand-qml: a QtQuick window listing an Errand work queue that indexes files, through a
// WorkQueueTaskModel. With --screenshot it indexes the generated sample, checks that rows have
// appeared and changed state and that the running task shows its progress, and saves the window
// as a PNG.

#include "FileIndexer.h"
#include "WindowOptions.h"
#include "WorkPacing.h"

#include <ObjectWorker.h>
#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>

#include <QtCore/QTemporaryDir>
#include <QtCore/QTextStream>
#include <QtCore/QThreadPool>
#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtQml/QQmlApplicationEngine>
#include <QtQml/QQmlContext>
#include <QtQuick/QQuickWindow>

#include <functional>

namespace {

// Whether the window shows what its picture is for: every card of the model, a finished task,
// the held task alone still running and half-way, and state changes seen by the cards. @p line
// receives what was found.
bool settled(const QQuickWindow *window, const WorkQueueTaskModel &model, QString *line)
{
    int finished = 0;
    int running = 0;
    double progress = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
        const int state = model.index(row, 0).data(WorkQueueTaskModel::StateRole).toInt();
        finished += state == Job::Finished ? 1 : 0;
        running += state == Job::Running ? 1 : 0;
        if (state == Job::Running)
            progress = model.index(row, 0).data(WorkQueueTaskModel::ProgressRole).toDouble();
    }
    const QObject *list = window->findChild<QObject *>(QStringLiteral("taskList"));
    const int cards = list ? list->property("count").toInt() : -1;
    const int transitions = window->property("transitionsSeen").toInt();
    *line = QStringLiteral("rows %1, cards %2, finished %3, running %4, state changes seen %5, progress %6%\n")
                .arg(model.rowCount())
                .arg(cards)
                .arg(finished)
                .arg(running)
                .arg(transitions)
                .arg(qRound(progress * 100));
    return cards == model.rowCount() && finished > 0 && running == 1 && transitions > 0 && progress >= 0.5;
}

// Saves @p window to @p file.
bool saveScreenshot(QQuickWindow *window, const QString &file)
{
    QImage image = window->grabWindow();
    // Qt 5's software scene graph grabs nothing from an offscreen window; its screen can.
    if (image.isNull())
        image = window->screen()->grabWindow(window->winId()).toImage();
    return image.save(file, "PNG");
}

} // namespace

int main(int argc, char *argv[])
{
    // The screenshot needs no display and no GPU; both must be chosen before the application.
    if (WindowOptions::prepareScreenshot(argc, argv) && qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("errand-qml"));
    QTemporaryDir sample;
    WindowOptions options;
    if (const int failed = options.parse(app,
            QStringLiteral("Lists an Errand work queue indexing files in a QtQuick window."),
            QStringLiteral("Index the generated sample, save the window to <file> (PNG) and quit."), sample))
        return failed;
    const bool shoot = !options.screenshot.isEmpty();

    int status = 0;
    {
        SourceIndexer indexer(options.directory);
        WorkQueueListModel rows(indexer.queue());
        rows.setMaxFinishedTasks(4);
        WorkQueueTaskModel tasks(&rows);

        QQmlApplicationEngine engine;
        engine.rootContext()->setContextProperty(QStringLiteral("taskModel"), &tasks);
        engine.rootContext()->setContextProperty(QStringLiteral("workQueue"), indexer.queue());
        engine.rootContext()->setContextProperty(QStringLiteral("rootPath"), indexer.root().absolutePath());
        engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
        auto *window
            = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().first());
        if (!window) {
            QTextStream(stderr) << "errand-qml: cannot load the window\n";
            return 1;
        }

        // The shot is taken while one file's hash is held half-way, the tree's group (its digests
        // three at a time) and the jobs of the other files running or done beside it.
        const QStringList files = indexer.scan(shoot ? 6 : 1000);
        std::function<void()> release = [] {};
        if (shoot) {
            release = WorkPacing::holdHalfway(indexer.root().filePath(QStringLiteral("data/image.bin")), window, [&] {
                // The other tasks finish meanwhile, at the machine's pace (slowly under a
                // sanitizer): the state is polled, and the shot taken a few frames after it holds.
                auto *poll = new QTimer(window);
                QObject::connect(poll, &QTimer::timeout, window, [&, poll, waited = 0]() mutable {
                    QString line;
                    const bool ready = settled(window, tasks, &line);
                    if (!ready && ++waited < 600)
                        return;
                    delete poll;
                    QTextStream(stdout) << line;
                    QTimer::singleShot(200, window, [&, ready] {
                        const bool saved = ready && saveScreenshot(window, options.screenshot);
                        release();
                        QCoreApplication::exit(saved ? 0 : 1);
                    });
                });
                poll->start(100);
            });
        }
        // The work starts once the window shows: a window that has not rendered cannot be grabbed.
        auto *shown = new QObject(window);
        QObject::connect(window, &QQuickWindow::frameSwapped, shown, [&, shown] {
            delete shown;
            indexer.submit(new DigestTreeJob(indexer.root().absolutePath()), FileIndexer::Normal);
            for (const QString &file : files)
                indexer.indexFile(file);
        });

        status = QGuiApplication::exec();
        release(); // in case the shot was not taken
        QThreadPool::globalInstance()->waitForDone();
    }
    // The tasks released with the jobs above were handed to deleteLater().
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
