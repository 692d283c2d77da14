#include "TestSupport.h"

#include <QtTest/QtTest>

using namespace TestSupport;

class tst_JobInfo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    void smoke()
    {
        PlainJob job;
        auto *task = new ManualTask(job);
        QCOMPARE(task->name(), QStringLiteral("TestSupport::PlainJob"));
        QPointer<Task> guard(task);
        {
            WorkQueue::TaskPtr ptr(task);
            QCOMPARE(task->ref.loadRelaxed(), 1);
        }
        QVERIFY(guard);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!guard);
    }
};

QTEST_GUILESS_MAIN(tst_JobInfo)
#include "tst_jobinfo.moc"
