#ifndef ERRAND_APPCALL_P_H
#define ERRAND_APPCALL_P_H

#include "DeleteGuard_p.h"
#include "Job.h"
#include "Task.h"

#include <QtCore/QMetaObject>
#include <QtCore/QString>

#include <exception>
#include <optional>
#include <utility>

namespace Errand {

// Application code (a task's start() or abort(), a task factory, a worker's createTask() or
// prepare()) may throw. An exception must never unwind through a Qt signal or slot, which Qt
// leaves undefined, nor out of the library, which never throws. So the library calls such code
// only through the functions below: the exception stops right at the call and is reported in one
// warning, a task that threw fails with its text, and the caller goes on as after a normal return.
// Whatever state the caller changed around the call (a depth, a pointer) it restores with RAII,
// so that the same code path serves both outcomes.

// Runs @p code. Nothing if it returned; else the exception's text: what() of a std::exception,
// "unknown exception" for anything else.
template<typename Code>
std::optional<QString> thrownBy(Code &&code) noexcept
{
    try {
        std::forward<Code>(code)();
        return std::nullopt;
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown exception");
    }
}

// "[<who>]: task "<task>" threw from <where>: <text>"
inline void warnThrown(const char *who, const QString &task, const char *where, const QString &text)
{
    qWarning("[%s]: task \"%s\" threw from %s: %s", who, qUtf8Printable(task), where, qUtf8Printable(text));
}

// Calls @p task's start() or abort() through @p code, for @p who; @p where names the call. If it
// throws, the task fails with the exception's text, and its finished() re-enters the caller like
// any other finish. A task that finished before it threw keeps its outcome, which has been
// reported already. The task is not guarded: something holds it (deleting a held task is the
// application's error), and it may live in another thread, whose state transitions a guard
// would race with; its name never changes, and its state is read atomically.
template<typename Code>
void callTask(const char *who, Task *task, const char *where, Code &&code) noexcept
{
    const std::optional<QString> text = thrownBy(std::forward<Code>(code));
    if (!text)
        return;
    warnThrown(who, task->name(), where, *text);
    // fail() is a protected slot; a task of another thread fails in its own thread.
    if (!task->isFinished())
        QMetaObject::invokeMethod(task, "fail", Qt::AutoConnection, Q_ARG(QString, *text));
}

// Makes a task for @p job through @p make (a factory, or a worker's override that calls one),
// for @p who. A factory that throws made no task: null, after the warning.
template<typename Make>
Task *makeTask(const char *who, const Job &job, Make &&make) noexcept
{
    const DeleteGuard jobAlive(job);
    Task *task = nullptr;
    if (const std::optional<QString> text = thrownBy([&] { task = std::forward<Make>(make)(); })) {
        warnThrown(who, jobAlive.deleted() ? QString() : job.name(), "its factory", *text);
        return nullptr;
    }
    return task;
}

} // namespace Errand

#endif // ERRAND_APPCALL_P_H
