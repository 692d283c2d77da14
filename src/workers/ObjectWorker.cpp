#include "ObjectWorker.h"

// The queue side is built first and only stores the pointer to the (not yet built) Worker
// side; it never calls through it during construction.
ObjectWorker::ObjectWorker(QObject *object, QObject *parent)
    : WorkQueue(static_cast<Worker *>(this), false, parent)
    , Worker()
    , m_object(object)
{
}

ObjectWorker::~ObjectWorker()
{
    m_object.clear();
}

QObject *ObjectWorker::object()
{
    return m_object.data();
}

void ObjectWorker::setObject(QObject *object)
{
    if (object == m_object.data())
        return;
    m_object = object;
    Q_EMIT objectChanged(m_object.data());
}
