// errand-await: hashes the files below a directory with an Errand work queue, awaiting every
// job with co_await inside a QCoro::Task<> coroutine, and prints each digest as its turn comes.

#include "FileIndexer.h"
#include "SampleData.h"

#include <ErrandCoro.h>
#include <ObjectWorker.h>

#include <QCoro/QCoroTask>

#include <QtCore/QCoreApplication>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTextStream>
#include <QtCore/QThreadPool>

#include <memory>
#include <vector>

namespace {

// Queues a digest job for every file at once, then awaits them in turn; the queue meanwhile runs
// them one after the other on the thread pool. Returns how many failed.
QCoro::Task<int> hashAll(FileIndexer &indexer, QStringList files, QTextStream &out)
{
    std::vector<std::unique_ptr<HashFileJob>> jobs;
    for (const QString &file : std::as_const(files)) {
        jobs.push_back(std::make_unique<HashFileJob>(file));
        indexer.queue()->enqueue(*jobs.back());
    }
    int failed = 0;
    for (const auto &job : jobs) {
        const HashFileJob &awaited = *job;
        const Errand::Outcome outcome = co_await awaited;
        const QString file = indexer.relativePath(job->path());
        if (outcome.error == Job::NoError) {
            out << outcome.result.toString().left(16) << "...  " << file << "\n";
        } else {
            out << "FAILED " << file << ": " << outcome.errorString << "\n";
            ++failed;
        }
        out.flush();
    }
    out << jobs.size() - failed << " hashed, " << failed << " failed\n";
    co_return failed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTemporaryDir sample;
    QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : sample.path();
    QString error;
    if (argc <= 1 && (!sample.isValid() || SampleData::generate(directory, &error) < 0)) {
        QTextStream(stderr) << "errand-await: cannot create the sample: " << error << "\n";
        return 1;
    }
    SourceIndexer indexer(directory);
    // A file that has gone since it was listed: its job fails.
    const QStringList files = indexer.scan(20) << indexer.root().filePath(QStringLiteral("gone.txt"));
    QCoro::connect(hashAll(indexer, files, out), &app, [](int) { QCoreApplication::quit(); });
    const int status = QCoreApplication::exec();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
