#ifndef ERRAND_JOBINFO_P_H
#define ERRAND_JOBINFO_P_H

#include <QtCore/QHash>
#include <QtCore/QSharedData>
#include <QtCore/QString>

class Job;
struct QMetaObject;

// The shared payload of JobInfo. Written only while a JobInfo is being constructed.
class JobInfoData : public QSharedData
{
public:
    // Writable properties (objectName excluded) and the "description" class info.
    void init(const QMetaObject &meta);
    // The job's class as above, then its dynamic properties.
    void init(const Job &job);

    QString description;
    QHash<QString, QString> properties;
};

#endif // ERRAND_JOBINFO_P_H
