#ifndef ERRAND_WORKQUEUETASKMODEL_H
#define ERRAND_WORKQUEUETASKMODEL_H

#include "WorkQueueListModel.h"
#include "errand_export.h"

#include <QtCore/QAbstractTableModel>

class Task;
class WorkQueueTaskModelPrivate;

/**
 * Shows the rows of a WorkQueueListModel field by field, for item views and QML.
 *
 * The model has no rows of its own: it reads the source's, one to one and in the same order, and
 * passes on the source's inserts, removals and moves; its resets and layout changes reset this
 * model. A slot that runs before this model's may change the source from one of the source's
 * signals; the model then ends the change it was passing on before it begins the next, so that
 * views see one change after the other. Every row serves these roles, in every column:
 *
 * | Role            | Name          | Value                                                    |
 * |-----------------|---------------|----------------------------------------------------------|
 * | NameRole        | "name"        | QString: Task::name(), the job's type name               |
 * | StateRole       | "state"       | int: the Job::State                                      |
 * | StateTextRole   | "stateText"   | QString: "Ready", "Running", "Finished"                  |
 * | ErrorRole       | "error"       | int: the Job::Error                                      |
 * | ErrorTextRole   | "errorText"   | QString: Task::errorString()                             |
 * | ResultRole      | "result"      | QVariant: the task's "result" property                   |
 * | PriorityRole    | "priority"    | uint: the priority the task was queued with              |
 * | TaskRole        | "task"        | QObject*: the Task                                       |
 * | ProcessedRole   | "processed"   | qint64: Task::processed()                                |
 * | TotalRole       | "total"       | qint64: Task::total(), 0 or less while unknown           |
 * | ProgressRole    | "progress"    | double: the share done, from 0 to 1, or -1 (see below)   |
 * | ProgressTextRole| "progressText"| QString: Task::progressText()                            |
 *
 * A row without a task serves invalid values. The priority is read when the model first sees the
 * task in a row, while the queue still holds it, so it stays after the task has left the queue;
 * it is 0 for a task the queue did not hold then. A task that lives in another thread than the
 * model has its error text and result read only once it has finished (before, ErrorTextRole and
 * ResultRole are invalid and their columns empty): until then they belong to the task's thread.
 * Its progress (amounts and text) is read at any time: the task keeps it under a lock.
 *
 * ProgressRole is 1 for a task that finished without an error, whatever it reported. Otherwise
 * it is processed() / total() when the total is known, capped at 1 (the share WorkQueue::progress()
 * counts for its current task); when the total is unknown, -1 while the task runs (a view shows a
 * busy indicator) and 0 while it waits or after it failed or was aborted. So a failed or aborted
 * task shows how far it got, and a waiting one 0 unless it already reported a known total.
 *
 * In the list form (the default) there is one column, whose Qt::DisplayRole is the job name.
 * In the table form there is one column per field (Column), for QTableView and QTreeView:
 * Qt::DisplayRole shows the field as text ("Failed: <text>" for an error with a text), and
 * headerData() gives the titles "Job", "State", "Error", "Result", "Priority" and "Progress".
 * The Progress column's text is the share done as a whole percentage ("42%"; "100%" only once
 * ProgressRole is 1) whenever ProgressRole is known, that is with a known total or after a
 * finish without error; with an unknown total it is the amount processed, or empty while that
 * is 0. Either form has no rows under a valid parent. A subclass may add columns after these
 * (columnCount(), data() and headerData()); the updates below span columnCount() columns.
 *
 * Updates. The model listens to each row's task: stateChanged() emits one dataChanged() for
 * that row (all columns) with the state, error and progress roles (a move to Ready resets
 * progress, a finish settles it, and ProgressRole follows the state), and ResultRole once a task
 * of another thread has finished; resultChanged() one with ResultRole; and progressChanged() one
 * with ProcessedRole, TotalRole, ProgressRole and ProgressTextRole. Qt::DisplayRole is added in
 * the table form. The task coalesces its progressChanged(), so however often it reports, its row
 * gets at most one progress update per pass of the task's event loop, the last one before the
 * update for its finish. The model listens to a task's progress from the moment it sees the
 * task run (a waiting task costs it no such connection), and posts no event of its own. The row
 * is found with
 * WorkQueueListModel::rowOf(). Each dataChanged() of the source is passed on for the same rows,
 * with no roles (everything may have changed). Aborting or failing a task that has finished
 * changes its error silently, as the task emits nothing then.
 *
 * The source is held weakly: once it is destroyed the model is reset to no rows. A slot
 * connected to this model's signals may delete the model (deleteLater() is still the advice),
 * and a slot on its destroyed() may use any other object: nothing reaches the model any more.
 */
class ERRAND_EXPORT WorkQueueTaskModel : public QAbstractTableModel
{
    Q_OBJECT
    /** The list model whose rows are shown; held weakly. */
    Q_PROPERTY(WorkQueueListModel *sourceModel READ sourceModel WRITE setSourceModel NOTIFY sourceModelChanged)
    /** One column per field (true) or a single column (false, the default). */
    Q_PROPERTY(bool tableForm READ isTableForm WRITE setTableForm NOTIFY tableFormChanged)

public:
    /** The roles every row serves, with the names roleNames() gives QML. */
    enum Role {
        NameRole = Qt::UserRole + 1,
        StateRole,
        StateTextRole,
        ErrorRole,
        ErrorTextRole,
        ResultRole,
        PriorityRole,
        TaskRole,
        ProcessedRole,
        TotalRole,
        ProgressRole,
        ProgressTextRole,
    };
    Q_ENUM(Role)

    /** \var WorkQueueTaskModel::NameRole
     * "name": the job's type name, Task::name(). */
    /** \var WorkQueueTaskModel::StateRole
     * "state": the task's Job::State, as an int. */
    /** \var WorkQueueTaskModel::StateTextRole
     * "stateText": the state's key, "Ready", "Running" or "Finished". */
    /** \var WorkQueueTaskModel::ErrorRole
     * "error": the task's Job::Error, as an int. */
    /** \var WorkQueueTaskModel::ErrorTextRole
     * "errorText": Task::errorString(). */
    /** \var WorkQueueTaskModel::ResultRole
     * "result": the task's "result" property. */
    /** \var WorkQueueTaskModel::PriorityRole
     * "priority": the priority the task was queued with, as a uint. */
    /** \var WorkQueueTaskModel::TaskRole
     * "task": the Task itself, as a QObject*. */
    /** \var WorkQueueTaskModel::ProcessedRole
     * "processed": Task::processed(), as a qint64. */
    /** \var WorkQueueTaskModel::TotalRole
     * "total": Task::total(), as a qint64; 0 or less while unknown. */
    /** \var WorkQueueTaskModel::ProgressRole
     * "progress": the share done as a double from 0 to 1, or -1 while a running task's total is
     * unknown; 1 once the task finished without an error (see the class comment). */
    /** \var WorkQueueTaskModel::ProgressTextRole
     * "progressText": Task::progressText(). */

    /** The columns of the table form. */
    enum Column { NameColumn, StateColumn, ErrorColumn, ResultColumn, PriorityColumn, ProgressColumn, ColumnCount };
    Q_ENUM(Column)

    /** \var WorkQueueTaskModel::NameColumn
     * "Job": the job's type name. */
    /** \var WorkQueueTaskModel::StateColumn
     * "State": the state's key. */
    /** \var WorkQueueTaskModel::ErrorColumn
     * "Error": empty without an error, else the error's key, and its text after a colon. */
    /** \var WorkQueueTaskModel::ResultColumn
     * "Result": the result as text. */
    /** \var WorkQueueTaskModel::PriorityColumn
     * "Priority": the priority the task was queued with. */
    /** \var WorkQueueTaskModel::ProgressColumn
     * "Progress": the share done as a percentage, or the amount processed while the total is
     * unknown (see the class comment). A view draws a bar from ProgressRole. */
    /** \var WorkQueueTaskModel::ColumnCount
     * The number of columns of the table form. */

    /** A model of @p source's rows (none for null), in the table form if @p tableForm. */
    explicit WorkQueueTaskModel(
        WorkQueueListModel *source = nullptr, bool tableForm = false, QObject *parent = nullptr);
    /** Disconnects from the source and from every task before anything else. */
    ~WorkQueueTaskModel() override;

    /** The source; null once it is destroyed (sourceModelChanged() is emitted then). */
    WorkQueueListModel *sourceModel() const;
    /** Resets the model onto @p source's rows (none for null). */
    void setSourceModel(WorkQueueListModel *source);

    /** True in the table form. */
    bool isTableForm() const;
    /** Switches between the list and the table form; the model is reset. */
    void setTableForm(bool tableForm);

    /** The task of @p row, or null. Holds no reference: the source's row does. */
    Task *task(int row) const;
    /** The source's WorkQueueListModel::rowOf(@p task); -1 without a source. */
    int rowOf(const Task *task) const;

    /** The source's row count; 0 under a valid @p parent. */
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /** ColumnCount in the table form, else 1; 0 under a valid @p parent. */
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    /** The value of @p role for the row of @p index (see Role); invalid outside the model. */
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /** The column titles of the table form, for Qt::DisplayRole and horizontal headers. */
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    /** Qt's role names and those of Role, for QML. */
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    /** The source was set or destroyed; the model has been reset. */
    void sourceModelChanged();
    /** The form changed to @p tableForm; the model has been reset. */
    void tableFormChanged(bool tableForm);

private:
    Q_DISABLE_COPY(WorkQueueTaskModel)
    friend class WorkQueueTaskModelPrivate;

    WorkQueueTaskModelPrivate *const d;
};

#endif // ERRAND_WORKQUEUETASKMODEL_H
