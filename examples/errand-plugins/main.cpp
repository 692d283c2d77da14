// errand-plugins <plug-in>: loads a plug-in that registers job types, lists them, makes three
// jobs of one by its name alone, runs them on a queue that models show, and unloads the plug-in
// again once nothing holds its code any more.

#include <JobInfo.h>
#include <ObjectWorker.h>
#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>
#include <WorkerRegistry.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QPluginLoader>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: errand-plugins <plug-in file>\n");
        return 2;
    }
    WorkerRegistry *registry = WorkerRegistry::instance();
    QPluginLoader plugin(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath());
    plugin.setLoadHints({}); // Qt 6 would load it with PreventUnloadHint, and unload() would keep it
    if (!plugin.load()) {
        std::fprintf(stderr, "errand-plugins: %s\n", qPrintable(plugin.errorString()));
        return 1;
    }
    for (const QString &name : registry->jobNames())
        std::printf("job type %s: %s\n", qPrintable(name), qPrintable(registry->jobInfo(name).description()));

    ObjectWorker queue(plugin.instance());
    WorkQueueListModel rows(&queue);
    const WorkQueueTaskModel table(&rows, true);
    std::vector<std::unique_ptr<Job>> jobs;
    for (const int size : { 64, 0, 256 }) {
        const QVariantMap parameters { { QStringLiteral("path"), QStringLiteral("cat.jpg") },
            { QStringLiteral("size"), size } };
        jobs.emplace_back(registry->createJob(QStringLiteral("ThumbnailJob"), parameters));
        if (!jobs.back() || !queue.enqueue(*jobs.back()))
            return 1;
    }
    // The finished rows, newest first, as a view would show them.
    for (int row = 0; row < table.rowCount(); ++row) {
        QStringList fields;
        for (int column = 0; column < table.columnCount(); ++column)
            fields << table.index(row, column).data().toString();
        std::printf("%s\n", qPrintable(fields.join(QLatin1String(" | "))));
    }

    // The plug-in's code runs as long as one of its tasks lives: the model's rows and the jobs
    // hold them, and a released task goes only when the event loop deletes it.
    rows.clear();
    jobs.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (!plugin.unload())
        return 1;
    std::printf("unloaded; job types left: %d\n", int(registry->jobNames().size()));
    return 0;
}
