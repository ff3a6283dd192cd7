#pragma once

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// A recording window of the tests (waylandtextwindow, or xtextwindow under
// Xwayland) that has the keyboard focus and writes what it receives to a file.
class TypedWindow
{
public:
    ~TypedWindow()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }

    bool start(const QString &program, const QProcessEnvironment &env)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, {QStringLiteral("--out"), dir.filePath(QStringLiteral("typed"))});
        return process.waitForStarted(10000)
               && QTest::qWaitFor([this] { return (said += process.readAllStandardOutput()).contains("ready"); }, 20000);
    }

    QString typed() const
    {
        QFile file(dir.filePath(QStringLiteral("typed")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QProcess process;

private:
    QTemporaryDir dir;
    QByteArray said;
};

// Characters that no keymap of 247 keycodes holds at once.
inline QString manyDistinct()
{
    QString text;
    for (char16_t c = 0x4e00; c < 0x4e00 + 300; ++c)
        text += QChar(c);
    return text + QStringLiteral("0123");
}
