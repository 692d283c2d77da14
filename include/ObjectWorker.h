#ifndef ERRAND_OBJECTWORKER_H
#define ERRAND_OBJECTWORKER_H

#include "errand_export.h"
#include "WorkQueue.h"
#include "Worker.h"

#include <QtCore/QPointer>
#include <QtCore/QStringList>

/**
 * A work queue that is its own worker, bound to one application object.
 *
 * Jobs queued here are turned into tasks by the factories registered for the bound object's
 * class chain. The object is held weakly: it reads as null once destroyed (without a signal)
 * and is never owned, reparented or deleted. Rebinding affects only tasks created afterwards.
 *
 * A client holding only a QObject* reaches the worker side with qt_metacast("Worker").
 *
 * Like any queue or worker it survives being deleted by a handler, a task or a factory while
 * one of its calls runs, though deleteLater() is the advice.
 */
class ERRAND_EXPORT ObjectWorker : public WorkQueue, public Worker
{
    Q_OBJECT
    /** The bound object; null when unbound or destroyed. */
    Q_PROPERTY(QObject *object READ object WRITE setObject NOTIFY objectChanged)
    /** The job names this worker can serve: Worker::jobNames() for the bound object. */
    Q_PROPERTY(QStringList jobNames READ jobNames)

public:
    /** The queue side gets this object's Worker side and autoAbort false. Emits nothing. */
    explicit ObjectWorker(QObject *object = nullptr, QObject *parent = nullptr);
    ~ObjectWorker() override;

    /** The bound object, or null when unbound or destroyed. */
    QObject *object() override;
    /** Binds @p object (null unbinds) and emits objectChanged() if the value changes. */
    virtual void setObject(QObject *object);

Q_SIGNALS:
    /**
     * setObject() bound @p object (null when it unbound). Not emitted when the bound object is
     * destroyed, although object() then reads null.
     */
    void objectChanged(QObject *object);

private:
    QPointer<QObject> m_object;
};

#endif // ERRAND_OBJECTWORKER_H
