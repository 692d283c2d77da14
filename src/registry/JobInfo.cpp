#include "JobInfo.h"

#include "Job.h"
#include "JobInfo_p.h"

#include <QtCore/QMetaObject>
#include <QtCore/QMetaProperty>

void JobInfoData::init(const QMetaObject &meta)
{
    for (int i = 0; i < meta.propertyCount(); ++i) {
        const QMetaProperty property = meta.property(i);
        if (!property.isWritable() || qstrcmp(property.name(), "objectName") == 0)
            continue;
        properties.insert(QString::fromUtf8(property.name()), QString::fromUtf8(property.typeName()));
    }
    const int info = meta.indexOfClassInfo("description");
    if (info >= 0)
        description = QString::fromUtf8(meta.classInfo(info).value());
}

void JobInfoData::init(const Job &job)
{
    init(*job.metaObject());
    const QList<QByteArray> names = job.dynamicPropertyNames();
    for (const QByteArray &name : names) {
        const QVariant value = job.property(name.constData());
        if (name == "description")
            description = value.toString();
        else
            properties.insert(QString::fromUtf8(name), QString::fromUtf8(value.typeName()));
    }
}

JobInfo::JobInfo() noexcept = default;

JobInfo::JobInfo(const QMetaObject &meta)
    : d(new JobInfoData)
{
    d->init(meta);
}

JobInfo::JobInfo(const Job &job)
    : d(new JobInfoData)
{
    d->init(job);
}

JobInfo::JobInfo(const JobInfo &other) noexcept = default;
JobInfo &JobInfo::operator=(const JobInfo &other) noexcept = default;
// Out of line: releasing the payload needs JobInfoData's definition.
JobInfo::JobInfo(JobInfo &&other) noexcept = default;
JobInfo &JobInfo::operator=(JobInfo &&other) noexcept = default;
JobInfo::~JobInfo() = default;

bool JobInfo::isNull() const noexcept
{
    return !d;
}

QString JobInfo::description() const
{
    return d ? d->description : QString();
}

QHash<QString, QString> JobInfo::properties() const
{
    return d ? d->properties : QHash<QString, QString>();
}
