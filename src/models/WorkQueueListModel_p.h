#ifndef ERRAND_WORKQUEUELISTMODEL_P_H
#define ERRAND_WORKQUEUELISTMODEL_P_H

#include "WorkQueue.h"

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QPointer>

class WorkQueueListModelPrivate
{
public:
    QPointer<WorkQueue> queue;
    QList<WorkQueue::TaskPtr> rows;
    int finishedCount = 0;
    uint maxFinishedTasks = 10;

    // Tasks that finished before the queue announced them with queued(): their finished row
    // was placed when they finished, and their announcement, when it comes, adds nothing.
    QHash<const Task *, WorkQueue::TaskPtr> placedEarly;

    int unfinishedCount() const { return rows.size() - finishedCount; }
};

#endif // ERRAND_WORKQUEUELISTMODEL_P_H
