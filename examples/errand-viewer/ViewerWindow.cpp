#include "ViewerWindow.h"

#include "QueueRows.h"
#include "TaskColumnsProxy.h"

#include <ObjectWorker.h>
#include <WorkQueueListModel.h>

#include <QtWidgets/QBoxLayout>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>

namespace {

QPushButton *addButton(QBoxLayout *layout, const QString &text)
{
    auto *button = new QPushButton(text);
    layout->addWidget(button);
    return button;
}

} // namespace

ViewerWindow::ViewerWindow(const QString &directory, QWidget *parent)
    : QWidget(parent)
    , m_indexer(directory)
    , m_files(m_indexer.scan(1000))
    , m_model(new WorkQueueListModel(m_indexer.queue(), this))
    , m_proxy(new TaskColumnsProxy(m_model, m_indexer, this))
    , m_view(new QTreeView)
    , m_autoAbort(new QCheckBox(tr("Auto-abort")))
    , m_status(new QLabel)
{
    setWindowTitle(tr("Errand viewer - %1").arg(m_indexer.root().absolutePath()));

    m_view->setModel(m_proxy);
    m_view->setRootIsDecorated(false);
    m_view->setUniformRowHeights(true);
    m_view->setAlternatingRowColors(true);
    m_view->header()->setStretchLastSection(true);
    m_view->header()->resizeSection(TaskColumnsProxy::JobColumn, 135);
    m_view->header()->resizeSection(TaskColumnsProxy::FileColumn, 165);
    m_view->header()->resizeSection(TaskColumnsProxy::StateColumn, 95);

    auto *buttons = new QHBoxLayout;
    QPushButton *indexAll = addButton(buttons, tr("Index all"));
    QPushButton *low = addButton(buttons, tr("Queue low"));
    QPushButton *normal = addButton(buttons, tr("Queue normal"));
    QPushButton *urgent = addButton(buttons, tr("Queue urgent"));
    buttons->addWidget(m_autoAbort);
    buttons->addStretch();
    m_abort = addButton(buttons, tr("Abort running"));
    m_dequeue = addButton(buttons, tr("Dequeue selected"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_view);
    layout->addWidget(m_status);

    connect(indexAll, &QPushButton::clicked, this, [this] {
        for (const QString &file : qAsConst(m_files))
            m_indexer.indexFile(file);
    });
    connect(low, &QPushButton::clicked, this, [this] { queueNext(FileIndexer::Background); });
    connect(normal, &QPushButton::clicked, this, [this] { queueNext(FileIndexer::Normal); });
    connect(urgent, &QPushButton::clicked, this, [this] { queueNext(FileIndexer::Urgent); });
    connect(m_autoAbort, &QCheckBox::toggled, m_indexer.queue(), &WorkQueue::setAutoAbort);
    connect(m_abort, &QPushButton::clicked, this, &ViewerWindow::abortRunning);
    connect(m_dequeue, &QPushButton::clicked, this, &ViewerWindow::dequeueSelected);

    // The list model reports rows only; task states change underneath it.
    connect(m_indexer.queue(), &WorkQueue::started, m_proxy, &TaskColumnsProxy::refresh);
    connect(m_indexer.queue(), &WorkQueue::finished, m_proxy, &TaskColumnsProxy::refresh);
    connect(m_proxy, &QAbstractItemModel::dataChanged, this, &ViewerWindow::updateStatus);
    connect(m_proxy, &QAbstractItemModel::rowsInserted, this, &ViewerWindow::updateStatus);
    connect(m_proxy, &QAbstractItemModel::rowsRemoved, this, &ViewerWindow::updateStatus);
    connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this, &ViewerWindow::updateStatus);
    updateStatus();
}

ViewerWindow::~ViewerWindow() = default;

void ViewerWindow::queueNext(uint priority)
{
    if (m_files.isEmpty())
        return;
    const QString path = m_files.at(m_next++ % m_files.size());
    FileJob *job
        = priority == FileIndexer::Background ? static_cast<FileJob *>(new CountLinesJob(path)) : new HashFileJob(path);
    m_indexer.submit(job, priority);
}

FileJob *ViewerWindow::jobOf(const Task *task) const
{
    for (FileJob *job : m_indexer.jobs()) {
        if (task && job->task() == task)
            return job;
    }
    return nullptr;
}

void ViewerWindow::abortRunning()
{
    if (FileJob *job = jobOf(m_indexer.queue()->current()))
        job->abort();
}

void ViewerWindow::dequeueSelected()
{
    const WorkQueue::TaskPtr task = m_model->task(m_view->currentIndex().row());
    FileJob *job = jobOf(task.data());
    if (job && job->state() == Job::Ready && m_indexer.cancel(job))
        QueueRows::forget(*m_model, task.data());
}

void ViewerWindow::updateStatus()
{
    int running = 0;
    int waiting = 0;
    int finished = 0;
    int failed = 0;
    int aborted = 0;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const WorkQueue::TaskPtr task = m_model->task(row);
        if (!task)
            continue;
        running += task->isRunning() ? 1 : 0;
        waiting += task->state() == Job::Ready ? 1 : 0;
        finished += task->isFinished() ? 1 : 0;
        failed += task->error() == Job::Failed ? 1 : 0;
        aborted += task->error() == Job::Aborted ? 1 : 0;
    }
    m_status->setText(tr("%1 running, %2 waiting, %3 finished shown (%4 failed, %5 aborted); %6 files in %7")
                          .arg(running)
                          .arg(waiting)
                          .arg(finished)
                          .arg(failed)
                          .arg(aborted)
                          .arg(m_files.size())
                          .arg(m_indexer.root().absolutePath()));

    const WorkQueue::TaskPtr selected = m_model->task(m_view->currentIndex().row());
    m_abort->setEnabled(running > 0);
    m_dequeue->setEnabled(selected && selected->state() == Job::Ready);
}

void ViewerWindow::screenshot(const QString &file)
{
    // The scenario: four files indexed, a file that has gone, one job taken back, and an urgent
    // job that aborts the running one. The window is grabbed once six jobs have finished; the
    // grab is posted before the seventh job starts, so that one is always shown running.
    connect(&m_indexer, &FileIndexer::jobFinished, this, [this, file] {
        if (++m_finishedForScreenshot != 6)
            return;
        QMetaObject::invokeMethod(
            this, [this, file] { Q_EMIT screenshotDone(grab().save(file, "PNG")); }, Qt::QueuedConnection);
    });

    const QDir root = m_indexer.root();
    for (const char *path : { "README.txt", "src/parser.cpp", "notes/design.txt", "logs/build.log" })
        m_indexer.indexFile(root.filePath(QLatin1String(path)));
    m_indexer.submit(new HashFileJob(root.filePath(QStringLiteral("gone.txt"))), FileIndexer::Normal);
    const auto select = [this](const char *job, const char *file) {
        for (int row = 0; row < m_proxy->rowCount(); ++row) {
            if (m_proxy->index(row, TaskColumnsProxy::JobColumn).data().toString() == QLatin1String(job)
                && m_proxy->index(row, TaskColumnsProxy::FileColumn).data().toString() == QLatin1String(file))
                m_view->setCurrentIndex(m_proxy->index(row, 0));
        }
    };
    select("CountLinesJob", "notes/design.txt");
    m_dequeue->click();
    m_autoAbort->setChecked(true);
    m_indexer.submit(new HashFileJob(root.filePath(QStringLiteral("data/archive.bin"))), FileIndexer::Urgent);
    select("FindTodosJob", "src/parser.cpp");
}
