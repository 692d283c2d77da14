#ifndef ERRAND_EXAMPLES_FILETASKS_H
#define ERRAND_EXAMPLES_FILETASKS_H

#include "FileJobs.h"

#include <PoolTask.h>

#include <functional>
#include <type_traits>

/**
 * The task of every file job: a PoolTask, so its work runs on QThreadPool::globalInstance()
 * while the task reports back to the thread it lives in. The work is a function that captures
 * the job's parameters by value (see FileTasks.cpp), reports its progress through its context
 * and stops early once the context says the task was aborted. The task names its file for the
 * views; a WaitForFileJob's "timeout" becomes the task's own timeout.
 */
class FileTask : public PoolTask
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path CONSTANT)

public:
    /** A task for @p job, a HashFileJob, CountLinesJob, FindTodosJob or WaitForFileJob. */
    template<typename J>
    explicit FileTask(const J &job)
        : PoolTask(job, workFor(job))
        , m_path(job.path())
    {
        if constexpr (std::is_same_v<J, WaitForFileJob>)
            setTimeout(job.timeout());
    }

    /** The file the task works on, as given by its job. */
    QString path() const { return m_path; }

    /** Runs in the pool thread after each report of progress on @p path, and may sleep or block. */
    using ProgressHook = std::function<void(const QString &path, qint64 done, qint64 total)>;
    /**
     * Installs @p hook for every task (none by default): the windows pace the work on their
     * small sample with it, so that progress bars can be seen moving, and hold a task half-way
     * for their screenshots. Install it before any work starts.
     */
    static void setProgressHook(ProgressHook hook);

private:
    static Work workFor(const HashFileJob &job);
    static Work workFor(const CountLinesJob &job);
    static Work workFor(const FindTodosJob &job);
    static Work workFor(const WaitForFileJob &job);

    const QString m_path;
};

#endif // ERRAND_EXAMPLES_FILETASKS_H
