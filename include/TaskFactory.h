#ifndef ERRAND_TASKFACTORY_H
#define ERRAND_TASKFACTORY_H

#include "Job.h"
#include "TaskCtor.h"

#include <type_traits>
#include <utility>

class Task;
class Worker;

/**
 * A TaskCtor that constructs @p T, so that applications need not write a factory per task type.
 *
 * T is constructed as T(worker, job) when it has such a constructor, else as T(job), where job
 * is a @c const @p J&. With a @p J other than Job, the job is down-cast with qobject_cast and a
 * job of another class gets no task (null), so the worker goes on to the next class.
 *
 * @code
 * static WorkerRegistration reg(Indexer::staticMetaObject, HashJob::staticMetaObject,
 *                               new TaskFactory<HashTask, HashJob>);
 * @endcode
 */
template<typename T, typename J = Job>
class TaskFactory : public TaskCtor
{
    static_assert(std::is_constructible_v<T, Worker &, const J &> || std::is_constructible_v<T, const J &>,
                  "TaskFactory<T, J> needs T(Worker&, const J&) or T(const J&)");

public:
    /** A new @p T for @p job, or null when @p job is not a @p J. */
    Task *create(Worker &worker, const Job &job) override
    {
        const J *typed = nullptr;
        if constexpr (std::is_same_v<J, Job>)
            typed = &job;
        else
            typed = qobject_cast<const J *>(&job);
        if (!typed)
            return nullptr;
        if constexpr (std::is_constructible_v<T, Worker &, const J &>) {
            return new T(worker, *typed);
        } else {
            Q_UNUSED(worker)
            return new T(*typed);
        }
    }
};

/**
 * A TaskCtor that calls a callable: @c Task*(Worker&, const Job&) or @c Task*(const Job&).
 *
 * @code
 * registry->registerTask(QStringLiteral("Indexer"), QStringLiteral("HashJob"),
 *                        makeTaskFactory([](const Job &job) { return new HashTask(job); }));
 * @endcode
 */
template<typename F>
class CallableTaskFactory : public TaskCtor
{
public:
    /** Stores @p f, which create() calls, possibly on several threads at once. */
    explicit CallableTaskFactory(F f) : m_f(std::move(f)) {}

    /** What the callable returns for @p job (and @p worker, if it takes one). */
    Task *create(Worker &worker, const Job &job) override
    {
        if constexpr (std::is_invocable_v<F &, Worker &, const Job &>) {
            return m_f(worker, job);
        } else {
            Q_UNUSED(worker)
            return m_f(job);
        }
    }

private:
    F m_f;
};

/** Wraps @p f in a new CallableTaskFactory (reference count 0: hand it to the registry). */
template<typename F>
CallableTaskFactory<std::decay_t<F>> *makeTaskFactory(F &&f)
{
    return new CallableTaskFactory<std::decay_t<F>>(std::forward<F>(f));
}

#endif // ERRAND_TASKFACTORY_H
