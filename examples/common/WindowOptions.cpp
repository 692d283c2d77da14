#include "WindowOptions.h"

#include "SampleData.h"
#include "WorkPacing.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTextStream>

bool WindowOptions::prepareScreenshot(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--screenshot") != 0)
            continue;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return true;
    }
    return false;
}

int WindowOptions::parse(const QCoreApplication &app, const QString &description, const QString &screenshotHelp,
    const QTemporaryDir &sample)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    const QCommandLineOption shot(QStringLiteral("screenshot"), screenshotHelp, QStringLiteral("file"));
    parser.addOption(shot);
    parser.addPositionalArgument(QStringLiteral("directory"),
        QStringLiteral("Directory to index (default: a generated sample)."), QStringLiteral("[directory]"));
    parser.process(app);

    screenshot = parser.value(shot);
    const QString named = parser.positionalArguments().value(0);
    const QString program = QCoreApplication::applicationName();
    if (named.isEmpty() || parser.isSet(shot)) {
        QString error;
        if (!sample.isValid() || SampleData::generate(sample.path(), &error) < 0) {
            QTextStream(stderr) << program << ": cannot create the sample: " << error << "\n";
            return 1;
        }
        directory = sample.path();
        if (!parser.isSet(shot))
            WorkPacing::pace(25);
    } else if (QFileInfo(named).isDir()) {
        directory = named;
    } else {
        QTextStream(stderr) << program << ": no such directory: " << named << "\n";
        return 2;
    }
    return 0;
}
