#ifndef ERRAND_JOBINFO_H
#define ERRAND_JOBINFO_H

#include "errand_export.h"

#include <QtCore/QHash>
#include <QtCore/QMetaType>
#include <QtCore/QSharedDataPointer>
#include <QtCore/QString>

class Job;
class JobInfoData;
struct QMetaObject;

/**
 * An immutable, implicitly shared description of a job type: a free-text description and the
 * job's settable parameters (writable properties, objectName excluded) with their type names.
 *
 * Built from a job class's meta-object (the description is the class info "description") or
 * from a job instance, which adds the instance's dynamic properties; a dynamic property named
 * "description" supplies the description text instead of being listed.
 *
 * A default-constructed value holds no data (isNull()); its description() is a null string
 * and its properties() an empty table, the same answers as a description that names nothing.
 */
class ERRAND_EXPORT JobInfo
{
public:
    JobInfo() noexcept;
    /** Describes the job class @p meta. Implicit, so a meta-object can stand for its description. */
    JobInfo(const QMetaObject &meta);
    /** Describes @p job, dynamic properties included. */
    JobInfo(const Job &job);
    JobInfo(const JobInfo &other) noexcept;
    JobInfo(JobInfo &&other) noexcept;
    JobInfo &operator=(const JobInfo &other) noexcept;
    JobInfo &operator=(JobInfo &&other) noexcept;
    ~JobInfo();

    void swap(JobInfo &other) noexcept { d.swap(other.d); }

    bool isNull() const noexcept;
    QString description() const;
    /** Parameter name to type name, for example "count" to "int". */
    QHash<QString, QString> properties() const;

private:
    QSharedDataPointer<JobInfoData> d;
};

Q_DECLARE_SHARED(JobInfo)
Q_DECLARE_METATYPE(JobInfo)

#endif // ERRAND_JOBINFO_H
