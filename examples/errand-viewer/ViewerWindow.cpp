#include "ViewerWindow.h"

#include "QueueRows.h"
#include "WorkPacing.h"

#include <ObjectWorker.h>
#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>

#include <QtGui/QBrush>
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <QtWidgets/QApplication>
#include <QtWidgets/QBoxLayout>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyledItemDelegate>
#include <QtWidgets/QTreeView>

#include <utility>

namespace {

// The library's table of task fields, plus the file each task works on, and rows styled by
// state: failed and aborted in red, finished in grey, the running one in bold.
class FileTaskModel : public WorkQueueTaskModel
{
public:
    enum { FileColumn = ColumnCount };

    FileTaskModel(WorkQueueListModel *source, const FileIndexer &indexer, QObject *parent)
        : WorkQueueTaskModel(source, true, parent)
        , m_indexer(indexer)
    { }

    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : FileColumn + 1;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        const Task *task = this->task(index.row());
        if (!task || !index.isValid())
            return QVariant();
        if (role == Qt::DisplayRole && index.column() == FileColumn)
            return QueueRows::file(task, m_indexer);
        if (role == Qt::ForegroundRole && task->error() != Job::NoError)
            return QBrush(QColor(0xb0, 0x20, 0x20));
        if (role == Qt::ForegroundRole && task->isFinished())
            return QBrush(QColor(0x60, 0x60, 0x60));
        if (role == Qt::FontRole && task->isRunning()) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return WorkQueueTaskModel::data(index, role);
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (section == FileColumn && orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return tr("File");
        return WorkQueueTaskModel::headerData(section, orientation, role);
    }

private:
    const FileIndexer &m_indexer;
};

// Draws the Progress column as a bar: the share done with the model's text on it, or a busy bar
// while a running task's total is unknown. A task that has not run, or that ended with nothing
// to show, gets none.
class ProgressDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QString text = index.data().toString();
        if (index.data(WorkQueueTaskModel::StateRole) != Job::Running && text.isEmpty())
            return QStyledItemDelegate::paint(painter, option, index);
        const double done = index.data(WorkQueueTaskModel::ProgressRole).toDouble();
        QStyleOptionProgressBar bar;
        bar.QStyleOption::operator=(option);
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.state |= QStyle::State_Horizontal;
        bar.minimum = 0;
        bar.maximum = done < 0 ? 0 : 100;
        bar.progress = done < 0 ? 0 : qRound(done * 100);
        bar.text = text;
        bar.textVisible = true;
        bar.textAlignment = Qt::AlignCenter;
        QStyle *style = option.widget ? option.widget->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, painter, option.widget);
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }
};

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
    , m_proxy(new FileTaskModel(m_model, m_indexer, this))
    , m_view(new QTreeView)
    , m_autoAbort(new QCheckBox(tr("Auto-abort")))
    , m_status(new QLabel)
    , m_batch(new QProgressBar)
{
    setWindowTitle(tr("Errand viewer - %1").arg(m_indexer.root().absolutePath()));

    m_view->setModel(m_proxy);
    m_view->setRootIsDecorated(false);
    m_view->setUniformRowHeights(true);
    m_view->setAlternatingRowColors(true);
    m_view->setItemDelegateForColumn(FileTaskModel::ProgressColumn, new ProgressDelegate(m_view));
    QHeaderView *header = m_view->header();
    header->setStretchLastSection(true);
    // Job, File, State, Progress, Priority, Error, Result.
    header->moveSection(header->visualIndex(FileTaskModel::FileColumn), 1);
    header->moveSection(header->visualIndex(FileTaskModel::ProgressColumn), 3);
    header->moveSection(header->visualIndex(FileTaskModel::PriorityColumn), 4);
    header->resizeSection(FileTaskModel::NameColumn, 130);
    header->resizeSection(FileTaskModel::FileColumn, 160);
    header->resizeSection(FileTaskModel::StateColumn, 95);
    header->resizeSection(FileTaskModel::ProgressColumn, 100);
    header->resizeSection(FileTaskModel::PriorityColumn, 65);
    header->resizeSection(FileTaskModel::ErrorColumn, 180);

    auto *buttons = new QHBoxLayout;
    QPushButton *indexAll = addButton(buttons, tr("Index all"));
    QPushButton *low = addButton(buttons, tr("Queue low"));
    QPushButton *normal = addButton(buttons, tr("Queue normal"));
    QPushButton *urgent = addButton(buttons, tr("Queue urgent"));
    QPushButton *tree = addButton(buttons, tr("Digest tree"));
    buttons->addWidget(m_autoAbort);
    buttons->addStretch();
    m_abort = addButton(buttons, tr("Abort running"));
    m_dequeue = addButton(buttons, tr("Dequeue selected"));

    // The share of the queue's batch that is done.
    m_batch->setRange(0, 1000);
    m_batch->setFormat(tr("batch %p%"));
    m_batch->setAlignment(Qt::AlignCenter);
    m_batch->setMaximumWidth(160);
    connect(m_indexer.queue(), &WorkQueue::progressChanged, m_batch,
        [this](double progress) { m_batch->setValue(qRound(progress * 1000)); });
    m_batch->setValue(qRound(m_indexer.queue()->progress() * 1000));
    auto *status = new QHBoxLayout;
    status->addWidget(m_status, 1);
    status->addWidget(m_batch);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_view);
    layout->addLayout(status);

    connect(indexAll, &QPushButton::clicked, this, [this] {
        for (const QString &file : std::as_const(m_files))
            m_indexer.indexFile(file);
    });
    connect(low, &QPushButton::clicked, this, [this] { queueNext(FileIndexer::Background); });
    connect(normal, &QPushButton::clicked, this, [this] { queueNext(FileIndexer::Normal); });
    connect(urgent, &QPushButton::clicked, this, [this] { queueNext(FileIndexer::Urgent); });
    // One row for a whole group: a scan, the digests three at a time, a manifest.
    connect(tree, &QPushButton::clicked, this,
        [this] { m_indexer.submit(new DigestTreeJob(m_indexer.root().absolutePath()), FileIndexer::Normal); });
    connect(m_autoAbort, &QCheckBox::toggled, m_indexer.queue(), &WorkQueue::setAutoAbort);
    connect(m_abort, &QPushButton::clicked, this, &ViewerWindow::abortRunning);
    connect(m_dequeue, &QPushButton::clicked, this, &ViewerWindow::dequeueSelected);

    // The list model keeps the rows of dequeued tasks among the waiting ones: drop them.
    connect(m_indexer.queue(), &WorkQueue::taskRemoved, this,
        [this](const WorkQueue::TaskPtr &task) { QueueRows::forget(*m_model, task.data()); });
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
    if (job && job->state() == Job::Ready)
        m_indexer.cancel(job);
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
    // The scenario: the whole tree digested as one group, four files indexed, a file that has
    // gone, a larger one, one job taken back, and an urgent job that aborts a running one. The window is saved while the larger file's
    // hash is held half-way, so that its bar shows how far it got.
    const QDir root = m_indexer.root();
    const QString larger = root.filePath(QStringLiteral("data/image.bin"));
    m_releaseHold = WorkPacing::holdHalfway(larger, this, [this, file] {
        const bool saved = grab().save(file, "PNG");
        m_releaseHold();
        Q_EMIT screenshotDone(saved);
    });

    m_indexer.submit(new DigestTreeJob(root.absolutePath()), FileIndexer::Normal);
    for (const char *path : { "README.txt", "src/parser.cpp", "notes/design.txt", "logs/build.log" })
        m_indexer.indexFile(root.filePath(QLatin1String(path)));
    m_indexer.submit(new HashFileJob(root.filePath(QStringLiteral("gone.txt"))), FileIndexer::Normal);
    m_indexer.submit(new HashFileJob(larger), FileIndexer::Normal);
    const auto select = [this](const char *job, const char *file) {
        for (int row = 0; row < m_proxy->rowCount(); ++row) {
            if (m_proxy->index(row, FileTaskModel::NameColumn).data().toString() == QLatin1String(job)
                && m_proxy->index(row, FileTaskModel::FileColumn).data().toString() == QLatin1String(file))
                m_view->setCurrentIndex(m_proxy->index(row, 0));
        }
    };
    select("CountLinesJob", "notes/design.txt");
    m_dequeue->click();
    m_autoAbort->setChecked(true);
    m_indexer.submit(new HashFileJob(root.filePath(QStringLiteral("data/archive.bin"))), FileIndexer::Urgent);
    select("FindTodosJob", "src/parser.cpp");
}
