#include "TestSupport.h"

#include <JobInfo.h>

#include <QtTest/QtTest>

#include <cstring>

using namespace TestSupport;

class CopyJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Kopiert Dateien für Sie")
    Q_PROPERTY(QString path READ path WRITE setPath)
    Q_PROPERTY(int count READ count WRITE setCount)
    Q_PROPERTY(QString label READ label)
public:
    QString path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }
    int count() const { return m_count; }
    void setCount(int count) { m_count = count; }
    QString label() const { return QStringLiteral("copy"); }

private:
    QString m_path;
    int m_count = 0;
};

class UndescribedJob : public Job
{
    Q_OBJECT
    Q_PROPERTY(QString path MEMBER m_path)
    Q_PROPERTY(int count MEMBER m_count)
    Q_PROPERTY(bool busy READ busy)
public:
    bool busy() const { return false; }

private:
    QString m_path;
    int m_count = 0;
};

// Redeclares count with another type; keeps the base's description.
class PreciseCopyJob : public CopyJob
{
    Q_OBJECT
    Q_PROPERTY(double count MEMBER m_count)
    Q_PROPERTY(QStringList filters MEMBER m_filters)
private:
    double m_count = 0;
    QStringList m_filters;
};

class RenamedCopyJob : public CopyJob
{
    Q_OBJECT
    Q_CLASSINFO("description", "Renames")
};

namespace {

typedef QHash<QString, QString> Table;

// The payload pointer, to tell sharing from equal copies.
const void *payload(const JobInfo &info)
{
    static_assert(sizeof(JobInfo) == sizeof(void *), "JobInfo is one shared pointer");
    const void *d = nullptr;
    std::memcpy(&d, static_cast<const void *>(&info), sizeof d);
    return d;
}

} // namespace

class tst_JobInfo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }

    void contents_data()
    {
        QTest::addColumn<JobInfo>("info");
        QTest::addColumn<bool>("isNull");
        QTest::addColumn<QString>("description");
        QTest::addColumn<Table>("properties");

        const QString copying = QStringLiteral("Kopiert Dateien für Sie");
        const Table pathCount { { QStringLiteral("path"), QStringLiteral("QString") },
            { QStringLiteral("count"), QStringLiteral("int") } };
        const Table precise { { QStringLiteral("path"), QStringLiteral("QString") },
            { QStringLiteral("count"), QStringLiteral("double") },
            { QStringLiteral("filters"), QStringLiteral("QStringList") } };

        QTest::newRow("no data") << JobInfo() << true << QString() << Table();
        QTest::newRow("class") << JobInfo(CopyJob::staticMetaObject) << false << copying << pathCount;
        QTest::newRow("class without description")
            << JobInfo(UndescribedJob::staticMetaObject) << false << QString() << pathCount;
        QTest::newRow("no parameters") << JobInfo(PlainJob::staticMetaObject) << false << QString() << Table();
        QTest::newRow("plain Job") << JobInfo(Job::staticMetaObject) << false << QString() << Table();
        QTest::newRow("redeclared in subclass")
            << JobInfo(PreciseCopyJob::staticMetaObject) << false << copying << precise;
        QTest::newRow("own description wins")
            << JobInfo(RenamedCopyJob::staticMetaObject) << false << QStringLiteral("Renames") << pathCount;

        PreciseCopyJob precisely;
        const Job &asJob = precisely;
        QTest::newRow("instance: most-derived class") << JobInfo(asJob) << false << copying << precise;

        CopyJob described;
        described.setProperty("description", QStringLiteral("Copies one file"));
        QTest::newRow("instance: dynamic description")
            << JobInfo(described) << false << QStringLiteral("Copies one file") << pathCount;

        PlainJob dynamic;
        dynamic.setProperty("ratio", 0.5);
        dynamic.setProperty("tag", QStringLiteral("x"));
        dynamic.setProperty("description", 7);
        QTest::newRow("instance: dynamic parameters") << JobInfo(dynamic) << false << QStringLiteral("7")
                                                      << Table { { QStringLiteral("ratio"), QStringLiteral("double") },
                                                             { QStringLiteral("tag"), QStringLiteral("QString") } };

        // Setting a declared property by name writes it; it does not become a dynamic one.
        CopyJob written;
        written.setProperty("count", 3);
        QTest::newRow("instance: declared property set") << JobInfo(written) << false << copying << pathCount;
    }

    void contents()
    {
        QFETCH(JobInfo, info);
        QFETCH(bool, isNull);
        QFETCH(QString, description);
        QFETCH(Table, properties);
        QCOMPARE(info.isNull(), isNull);
        QCOMPARE(info.description(), description);
        QCOMPARE(info.description().isNull(), description.isNull());
        QCOMPARE(info.properties(), properties);
    }

    void copiesSharePayload()
    {
        auto *first = new JobInfo(CopyJob::staticMetaObject);
        JobInfo copy(*first);
        JobInfo assigned;
        assigned = copy;
        QCOMPARE(payload(copy), payload(*first));
        QCOMPARE(payload(assigned), payload(*first));
        const JobInfo &same = assigned;
        assigned = same;
        QCOMPARE(payload(assigned), payload(copy));
        const JobInfo expected(CopyJob::staticMetaObject);
        QVERIFY(payload(expected) != payload(copy));

        delete first;
        QCOMPARE(copy.description(), expected.description());
        QCOMPARE(copy.properties(), expected.properties());

        const JobInfo none;
        assigned = none;
        QVERIFY(assigned.isNull());
        QVERIFY(!copy.isNull());
        // A value stored in a QVariant keeps sharing as well.
        const QVariant wrapped = QVariant::fromValue(copy);
        QCOMPARE(wrapped.userType(), qMetaTypeId<JobInfo>());
        QCOMPARE(payload(*static_cast<const JobInfo *>(wrapped.constData())), payload(copy));
    }
};

QTEST_GUILESS_MAIN(tst_JobInfo)
#include "tst_jobinfo.moc"
