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
    /** A value that holds no data: isNull() is true. */
    JobInfo() noexcept;
    /** Describes the job class @p meta. Implicit, so a meta-object can stand for its description. */
    JobInfo(const QMetaObject &meta);
    /** Describes @p job, dynamic properties included. */
    JobInfo(const Job &job);
    /** Shares @p other's data, or its lack of data; nothing is copied. */
    JobInfo(const JobInfo &other) noexcept;
    /** Takes over @p other's data; @p other is left holding none. */
    JobInfo(JobInfo &&other) noexcept;
    /** Shares @p other's data, releasing the data held before. */
    JobInfo &operator=(const JobInfo &other) noexcept;
    /** Takes over @p other's data. */
    JobInfo &operator=(JobInfo &&other) noexcept;
    ~JobInfo();

    /** Exchanges the data of the two values. */
    void swap(JobInfo &other) noexcept { d.swap(other.d); }

    /**
     * True for a value that holds no data (default-constructed). Values built from a meta-object
     * or a job never are, even when they describe nothing.
     */
    bool isNull() const noexcept;
    /** The description text; a null string when none was given or the value holds no data. */
    QString description() const;
    /** Parameter name to type name, for example "count" to "int". */
    QHash<QString, QString> properties() const;

private:
    QSharedDataPointer<JobInfoData> d;
};

Q_DECLARE_SHARED(JobInfo)
Q_DECLARE_METATYPE(JobInfo)

#endif // ERRAND_JOBINFO_H
