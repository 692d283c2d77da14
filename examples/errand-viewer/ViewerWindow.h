#ifndef ERRAND_VIEWER_VIEWERWINDOW_H
#define ERRAND_VIEWER_VIEWERWINDOW_H

#include "FileIndexer.h"

#include <QtWidgets/QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeView;
class Task;
class WorkQueueListModel;
class WorkQueueTaskModel;

/**
 * Shows a SourceIndexer's queue in a tree view and lets the user queue, abort and dequeue
 * jobs. screenshot() plays a fixed scenario and saves the window as a PNG.
 */
class ViewerWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ViewerWindow(const QString &directory, QWidget *parent = nullptr);
    ~ViewerWindow() override;

    /** Queues a fixed set of jobs and saves the window to @p file with one of them half-way. */
    void screenshot(const QString &file);

Q_SIGNALS:
    /** The screenshot was written (or could not be). */
    void screenshotDone(bool saved);

private:
    void queueNext(uint priority);
    void abortRunning();
    void dequeueSelected();
    void updateStatus();
    FileJob *jobOf(const Task *task) const;

    SourceIndexer m_indexer;
    QStringList m_files;
    int m_next = 0;
    std::function<void()> m_releaseHold;
    WorkQueueListModel *m_model;
    WorkQueueTaskModel *m_proxy;
    QTreeView *m_view;
    QCheckBox *m_autoAbort;
    QPushButton *m_abort;
    QPushButton *m_dequeue;
    QLabel *m_status;
    QProgressBar *m_batch;
};

#endif // ERRAND_VIEWER_VIEWERWINDOW_H
