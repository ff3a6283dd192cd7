#include "typedwindow.h"

#include "sandbox.h"

#include <QTest>

TypedWindow::~TypedWindow()
{
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
}

bool TypedWindow::start(const QString &program, const QProcessEnvironment &env)
{
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, {QStringLiteral("--out"), dir.filePath(QStringLiteral("typed"))});
    return process.waitForStarted(10000)
        && QTest::qWaitFor([this] { return (said += process.readAllStandardOutput()).contains("ready"); }, 20000);
}

QString TypedWindow::typed() const
{
    return readTextFile(dir.filePath(QStringLiteral("typed")));
}
