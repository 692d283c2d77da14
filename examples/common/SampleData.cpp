#include "SampleData.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

namespace {

// A tiny deterministic generator, so every run indexes the same bytes.
class Noise
{
public:
    explicit Noise(quint32 seed)
        : m_state(seed * 2654435761u + 1)
    { }
    quint32 next()
    {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }
    int below(int n) { return int(next() % quint32(n)); }

private:
    quint32 m_state;
};

const char *const Words[] = { "queue", "task", "worker", "priority", "index", "digest", "abort", "signal", "thread",
    "result", "model", "finish", "retry", "state" };
const int WordCount = int(sizeof(Words) / sizeof(Words[0]));

QByteArray sentence(Noise &noise, int words)
{
    QByteArray line;
    for (int i = 0; i < words; ++i) {
        if (i)
            line += ' ';
        line += Words[noise.below(WordCount)];
    }
    return line;
}

QByteArray source(quint32 seed, int lines, const char *comment)
{
    Noise noise(seed);
    QByteArray text;
    for (int i = 0; i < lines; ++i) {
        const int kind = noise.below(100);
        if (kind < 12)
            text += "\n";
        else if (kind < 15)
            text += QByteArray(comment) + " TODO: " + sentence(noise, 4) + "\n";
        else
            text += "    " + sentence(noise, 2 + noise.below(5)) + ";\n";
    }
    return text;
}

QByteArray prose(quint32 seed, int lines)
{
    Noise noise(seed);
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text += noise.below(6) == 0 ? QByteArray("\n") : sentence(noise, 3 + noise.below(9)) + "\n";
    return text;
}

QByteArray log(quint32 seed, int lines)
{
    Noise noise(seed);
    QByteArray text;
    for (int i = 0; i < lines; ++i) {
        text += QByteArray::number(1700000000 + i * 7) + (noise.below(20) == 0 ? " WARN " : " INFO ")
            + sentence(noise, 6) + "\n";
    }
    return text;
}

QByteArray blob(quint32 seed, int size)
{
    Noise noise(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(noise.next());
    return bytes;
}

} // namespace

int SampleData::generate(const QString &dir, QString *error)
{
    const QList<QPair<const char *, QByteArray>> files {
        { "README.txt", prose(1, 12) },
        { "src/main.cpp", source(2, 40, "//") },
        { "src/parser.cpp", source(3, 400, "//") },
        { "src/parser.h", source(4, 60, "//") },
        { "src/scheduler.cpp", source(5, 900, "//") },
        { "src/scheduler.h", source(6, 80, "//") },
        { "src/tools.py", source(7, 150, "#") },
        { "notes/changelog.md", prose(8, 120) },
        { "notes/design.txt", prose(9, 300) },
        { "notes/meeting.txt", prose(10, 45) },
        { "notes/table.csv", prose(11, 200) },
        { "logs/build.log", log(12, 6000) },
        { "logs/install.log", log(13, 25) },
        { "logs/server.log", log(14, 2500) },
        { "data/archive.bin", blob(15, 1024 * 1024) },
        { "data/empty.dat", QByteArray() },
        { "data/image.bin", blob(16, 200 * 1024) },
        { "data/small.bin", blob(17, 300) },
    };

    const QDir root(dir);
    for (const auto &file : files) {
        const QString path = root.filePath(QString::fromLatin1(file.first));
        QFile out(path);
        if (!QDir().mkpath(QFileInfo(path).path()) || !out.open(QIODevice::WriteOnly)
            || out.write(file.second) != file.second.size()) {
            *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
            return -1;
        }
    }
    return files.size();
}
