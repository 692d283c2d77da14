#ifndef ERRAND_EXAMPLES_QUEUEROWS_H
#define ERRAND_EXAMPLES_QUEUEROWS_H

#include <QtCore/QString>

class FileIndexer;
class Task;
class WorkQueueListModel;

/** The columns the examples show for a row of a WorkQueueListModel, which itself shows only the job name. */
namespace QueueRows {

/** "Ready", "Running" or "Finished"; empty for a row without a task. */
QString state(const Task *task);
/** Empty, "Aborted", "Aborted: timed out after <msec> ms" or "Failed: <text>". */
QString error(const Task *task);
/** The task's file, relative to the indexer's root. */
QString file(const Task *task, const FileIndexer &indexer);

/**
 * Removes the row of @p task. The model follows only queued() and finished(), so the row of a
 * task taken out with dequeue() would otherwise wait forever among the unfinished ones.
 */
bool forget(WorkQueueListModel &model, const Task *task);

} // namespace QueueRows

#endif // ERRAND_EXAMPLES_QUEUEROWS_H
