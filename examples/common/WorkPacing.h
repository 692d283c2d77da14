#ifndef ERRAND_EXAMPLES_WORKPACING_H
#define ERRAND_EXAMPLES_WORKPACING_H

#include <QtCore/QString>

#include <functional>

class QObject;

/**
 * What the windowed examples do with the progress that FileTask work reports, through
 * FileTask::setProgressHook(). Either is set up once, before any work starts.
 */
namespace WorkPacing {

/** Sleeps @p msec milliseconds after each report, so that bars can be seen moving on small files. */
void pace(int msec);

/**
 * Holds the work on @p path in its pool thread the first time it reports half done or more,
 * and then calls @p reached in @p context's thread, where the report has arrived by then. The
 * work goes on once the function returned is called; it must be called before the application
 * waits for the pool.
 */
std::function<void()> holdHalfway(const QString &path, QObject *context, std::function<void()> reached);

} // namespace WorkPacing

#endif // ERRAND_EXAMPLES_WORKPACING_H
