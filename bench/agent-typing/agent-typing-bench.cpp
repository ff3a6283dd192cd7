// Measures how long the user agent takes to type a card number: from the
// moment the sender calls sendMessage to the moment the last character shows
// up in a focused X window. Needs DISPLAY (run.sh provides a private Xvfb).
//
//   agent-typing-bench [--runs N] [--length DIGITS]

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "connectionpeer.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

double percentile(std::vector<double> sorted, double p)
{
    const size_t index = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
    return sorted[index];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 200;
    int length = 20;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--length"))
            length = args.at(i + 1).toInt();
    }
    if (runs < 1 || length < 1 || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "usage: agent-typing-bench [--runs N] [--length DIGITS] (with DISPLAY set)\n");
        return 2;
    }

    // Private socket and log folders, like the tests; the code page is UTF-8.
    QTemporaryDir sandbox;
    QDir(sandbox.path()).mkpath(QStringLiteral("tmp"));
    qputenv("TMPDIR", QFile::encodeName(sandbox.filePath(QStringLiteral("tmp"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.filePath(QStringLiteral("tmp"))));
    qputenv("ALLUSERSPROFILE", QFile::encodeName(sandbox.filePath(QStringLiteral("programdata"))));
    qputenv("LC_ALL", "C.UTF-8");

    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QByteArray typed;
    QElapsedTimer clock;
    clock.start();
    qint64 lastArrival = 0;
    QObject::connect(&window, &QProcess::readyReadStandardOutput, [&] {
        typed += window.readAllStandardOutput();
        lastArrival = clock.nsecsElapsed();
    });
    window.start(QStringLiteral(XTEXTWINDOW), QStringList());
    if (!waitFor([&] { return typed.contains("ready\n"); }, 10000)) {
        std::fprintf(stderr, "xtextwindow did not get ready\n");
        return 1;
    }
    typed.clear();

    QProcess agent;
    agent.setWorkingDirectory(sandbox.path());
    agent.setProcessChannelMode(QProcess::SeparateChannels);
    QByteArray console;
    QObject::connect(&agent, &QProcess::readyReadStandardError, [&] { console += agent.readAllStandardError(); });
    agent.start(QStringLiteral(KAVO_USER_AGENT), QStringList());
    // The link's socket is there once the agent listens.
    const QString socket = sandbox.filePath(QStringLiteral("tmp/d33ed4a54483b2efead5860f937e2dd5088ab1fbdbe70ba03b036ad7d805fa11"));
    if (!waitFor([&] { return QFileInfo::exists(socket); }, 10000)) {
        std::fprintf(stderr, "the agent did not start listening:\n%s\n", console.constData());
        return 1;
    }

    veltor::system::ConnectionPeer peer(QStringLiteral("sendKeySequence"), QStringLiteral("Veltor"),
                                        QStringLiteral("m3-plugin-system"));
    std::vector<double> millis;
    millis.reserve(size_t(runs));
    for (int run = 0; run < runs; ++run) {
        QByteArray number;
        for (int i = 0; i < length; ++i)
            number += char('0' + QRandomGenerator::global()->bounded(10));
        typed.clear();

        peer.connectOrListen(100); // as the plug-in does before every send
        const qint64 start = clock.nsecsElapsed();
        if (!peer.sendMessage(number, 100)) {
            std::fprintf(stderr, "run %d: the agent did not take the number\n", run);
            return 1;
        }
        if (!waitFor([&] { return typed.size() >= number.size(); }, 10000) || typed != number) {
            std::fprintf(stderr, "run %d: sent %s, the window got %s\n", run, number.constData(),
                         typed.constData());
            return 1;
        }
        millis.push_back(double(lastArrival - start) / 1e6);
    }

    agent.terminate();
    agent.waitForFinished(5000);
    window.terminate();
    window.waitForFinished(5000);

    std::vector<double> sorted = millis;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double m : sorted)
        sum += m;
    std::printf("agent typing, %d digits, %d runs (sendMessage to last character in the window):\n",
                length, runs);
    std::printf("  median %.2f ms   p99 %.2f ms   min %.2f ms   max %.2f ms   mean %.2f ms\n",
                percentile(sorted, 0.5), percentile(sorted, 0.99), sorted.front(), sorted.back(),
                sum / double(sorted.size()));
    return 0;
}
