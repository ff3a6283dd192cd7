// Measures how long the user agent takes to type a text: from the moment the
// sender calls sendMessage to the moment the last character shows up in a
// focused window, which writes what it receives to its stdout (xtextwindow
// under a private Xvfb, waylandtextwindow under a headless sway: run.sh
// provides both).
//
//   agent-typing-bench --window PROGRAM [--runs N] [--length DIGITS | --mixed]
//
// --mixed types a fixed 100-character text of letters, digits, Latin-1, €, an
// emoji and tabs instead of a random number.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "connectionpeer.h"
#include "keysequencelink.h"

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
    bool mixed = false;
    QString windowProgram;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString value = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (args.at(i) == QLatin1String("--mixed"))
            mixed = true;
        else if (args.at(i) == QLatin1String("--runs") && ++i)
            runs = value.toInt();
        else if (args.at(i) == QLatin1String("--length") && ++i)
            length = value.toInt();
        else if (args.at(i) == QLatin1String("--window") && ++i)
            windowProgram = value;
        else
            runs = 0;
    }
    if (runs < 1 || length < 1 || windowProgram.isEmpty()) {
        std::fprintf(stderr, "usage: agent-typing-bench --window PROGRAM [--runs N] [--length DIGITS | --mixed]\n");
        return 2;
    }
    const QByteArray mixedText = QString::fromUcs4(U"Müller-Lüdenscheidt, Zoë; 8075 6012 €42.50\tÆrøskøbing "
                                                   U"\U0001F600 Ωmega Straße 17b, 3011 Bern\tfin. ok: 99% äöü").toUtf8();

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
    window.start(windowProgram, QStringList());
    if (!waitFor([&] { return typed.contains("ready\n"); }, 20000)) {
        std::fprintf(stderr, "%s did not get ready\n", qPrintable(windowProgram));
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
    namespace link = veltor::system::keysequencelink;
    const QString socket = sandbox.filePath(QStringLiteral("tmp/"))
        + veltor::system::ConnectionPeer::serverNameFor(link::channel, link::organization, link::application);
    if (!waitFor([&] { return QFileInfo::exists(socket); }, 10000)) {
        std::fprintf(stderr, "the agent did not start listening:\n%s\n", console.constData());
        return 1;
    }

    veltor::system::ConnectionPeer peer(link::channel, link::organization, link::application);
    std::vector<double> millis;
    millis.reserve(size_t(runs));
    for (int run = 0; run < runs; ++run) {
        QByteArray number = mixedText;
        if (!mixed) {
            number.clear();
            for (int i = 0; i < length; ++i)
                number += char('0' + QRandomGenerator::global()->bounded(10));
        }
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
    std::printf("agent typing, %s, %d runs (sendMessage to last character in %s):\n",
                mixed ? "100-character mixed text" : qPrintable(QStringLiteral("%1 digits").arg(length)), runs,
                qPrintable(QFileInfo(windowProgram).fileName()));
    std::printf("  median %.2f ms   p99 %.2f ms   min %.2f ms   max %.2f ms   mean %.2f ms\n",
                percentile(sorted, 0.5), percentile(sorted, 0.99), sorted.front(), sorted.back(),
                sum / double(sorted.size()));
    return 0;
}
