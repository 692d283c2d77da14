#ifndef ERRAND_EXAMPLES_FILETASKS_H
#define ERRAND_EXAMPLES_FILETASKS_H

#include "FileJobs.h"

#include <Task.h>

#include <QtCore/QVariant>

#include <atomic>
#include <functional>
#include <memory>

/**
 * A task that does its work on QThreadPool::globalInstance() and reports back to the thread it
 * lives in, where its state machine runs.
 *
 * start() takes a snapshot of the work as a function (subclasses capture their parameters by
 * value, never the task) and hands it to the pool. The function polls a cancel flag; abort()
 * raises that flag and finishes the task at once, and whatever the function still returns is
 * dropped. A task destroyed while its work runs is safe for the same reason. The function may
 * report its progress, from the pool thread: Task::setProgress() is safe from any thread, and
 * the task's progressChanged() reaches its job in the task's own thread, coalesced.
 */
class BackgroundTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)
    Q_PROPERTY(QString path READ path CONSTANT)

public:
    ~BackgroundTask() override;

    QVariant result() const { return m_result; }
    /** The file the task works on, as given by its job. */
    QString path() const { return m_path; }

    void start() override;
    /** Cancels the background work cooperatively, then finishes as Aborted. */
    void abort() override;

    /** What the work function returns: a result, or an error text (a non-empty one fails). */
    struct Outcome
    {
        QVariant value;
        QString error;
    };
    /** Reports @p done of @p total, from the pool thread. */
    using Progress = std::function<void(qint64 done, qint64 total)>;
    using Work = std::function<Outcome(const std::atomic_bool &cancelled, const Progress &progress)>;

    /** Runs in the pool thread after each report of progress on @p path, and may sleep or block. */
    using ProgressHook = std::function<void(const QString &path, qint64 done, qint64 total)>;
    /**
     * Installs @p hook for every task (none by default): the windows pace the work on their
     * small sample with it, so that progress bars can be seen moving, and hold a task half-way
     * for their screenshots. Install it before any work starts.
     */
    static void setProgressHook(ProgressHook hook);

protected:
    explicit BackgroundTask(const FileJob &job);

    /** The work to run off this thread. Called on this thread, once, by start(). */
    virtual Work work() const = 0;

private:
    struct Channel;
    class Runner;

    void complete(const Outcome &outcome);
    void disconnectChannel();

    const QString m_path;
    QVariant m_result;
    std::shared_ptr<Channel> m_channel;
};

class HashFileTask : public BackgroundTask
{
    Q_OBJECT
public:
    explicit HashFileTask(const HashFileJob &job)
        : BackgroundTask(job)
    { }

protected:
    Work work() const override;
};

class CountLinesTask : public BackgroundTask
{
    Q_OBJECT
public:
    explicit CountLinesTask(const CountLinesJob &job)
        : BackgroundTask(job)
        , m_skipBlank(job.skipBlank())
    { }

protected:
    Work work() const override;

private:
    const bool m_skipBlank;
};

class FindTodosTask : public BackgroundTask
{
    Q_OBJECT
public:
    explicit FindTodosTask(const FindTodosJob &job)
        : BackgroundTask(job)
        , m_marker(job.marker())
    { }

protected:
    Work work() const override;

private:
    const QString m_marker;
};

/** Polls for its file; its job's "timeout" becomes the task's own timeout. */
class WaitForFileTask : public BackgroundTask
{
    Q_OBJECT
public:
    explicit WaitForFileTask(const WaitForFileJob &job)
        : BackgroundTask(job)
    {
        setTimeout(job.timeout());
    }

protected:
    Work work() const override;
};

#endif // ERRAND_EXAMPLES_FILETASKS_H
