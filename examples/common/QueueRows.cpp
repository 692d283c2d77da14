#include "QueueRows.h"

#include "FileIndexer.h"

#include <Task.h>
#include <WorkQueueListModel.h>

QString QueueRows::state(const Task *task)
{
    return task ? Job::toString(task->state()) : QString();
}

QString QueueRows::error(const Task *task)
{
    if (!task || task->error() == Job::NoError)
        return QString();
    // Failed tasks, and aborted ones that timed out, say why.
    if (task->errorString().isEmpty())
        return Job::toString(task->error());
    return Job::toString(task->error()) + QStringLiteral(": ") + task->errorString();
}

QString QueueRows::file(const Task *task, const FileIndexer &indexer)
{
    return task ? indexer.relativePath(task->property("path").toString()) : QString();
}

bool QueueRows::forget(WorkQueueListModel &model, const Task *task)
{
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.task(row).data() == task)
            return model.removeRows(row, 1);
    }
    return false;
}
