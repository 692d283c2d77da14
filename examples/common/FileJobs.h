#ifndef ERRAND_EXAMPLES_FILEJOBS_H
#define ERRAND_EXAMPLES_FILEJOBS_H

#include <Job.h>

#include <QtCore/QString>

/**
 * A job about one file. Its parameters are writable properties, so the registry's JobInfo
 * lists them ("path" and whatever a subclass adds).
 */
class FileJob : public Job
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path WRITE setPath)

public:
    explicit FileJob(const QString &path = QString(), QObject *parent = nullptr)
        : Job(parent)
        , m_path(path)
    { }

    QString path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }

private:
    QString m_path;
};

/** Result: the file's SHA-256 digest as a hex QString. */
class HashFileJob : public FileJob
{
    Q_OBJECT
    Q_CLASSINFO("description", "SHA-256 digest of a file's contents")

public:
    using FileJob::FileJob;
};

/** Result: the number of lines (int), optionally leaving out blank ones. */
class CountLinesJob : public FileJob
{
    Q_OBJECT
    Q_CLASSINFO("description", "Number of lines in a text file")
    Q_PROPERTY(bool skipBlank READ skipBlank WRITE setSkipBlank)

public:
    using FileJob::FileJob;

    bool skipBlank() const { return m_skipBlank; }
    void setSkipBlank(bool skip) { m_skipBlank = skip; }

private:
    bool m_skipBlank = false;
};

/** Result: the lines holding the marker, as "<line>: <text>" (QStringList). */
class FindTodosJob : public FileJob
{
    Q_OBJECT
    Q_CLASSINFO("description", "Lines of a source file that carry a to-do marker")
    Q_PROPERTY(QString marker READ marker WRITE setMarker)

public:
    using FileJob::FileJob;

    QString marker() const { return m_marker; }
    void setMarker(const QString &marker) { m_marker = marker; }

private:
    QString m_marker = QStringLiteral("TODO");
};

/**
 * Result: true once the file exists. Waits for it, checking now and then, for at most
 * "timeout" milliseconds: the task's timeout aborts it after that.
 */
class WaitForFileJob : public FileJob
{
    Q_OBJECT
    Q_CLASSINFO("description", "Waits until a file exists, up to a timeout")
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout)

public:
    explicit WaitForFileJob(const QString &path = QString(), int timeout = 0, QObject *parent = nullptr)
        : FileJob(path, parent)
        , m_timeout(timeout)
    { }

    int timeout() const { return m_timeout; }
    void setTimeout(int msec) { m_timeout = msec; }

private:
    int m_timeout = 0;
};

/**
 * Result: the SHA-256 digest of the manifest (TreeDigest) that lists the digest of every file
 * below the directory "path", as a hex QString.
 */
class DigestTreeJob : public FileJob
{
    Q_OBJECT
    Q_CLASSINFO("description", "Digest of a directory tree: a scan, the files' digests, a manifest")

public:
    using FileJob::FileJob;
};

#endif // ERRAND_EXAMPLES_FILEJOBS_H
