// Measures a card insertion the real way: an emulated VeKa card goes into a
// virtual reader of a private pcscd, kavo-service reads it, the plug-in sends
// the number and kavo-user-agent types it into a focused X window. Per
// insertion, on the monotonic clock:
//   connected  the emulator connects to vpcd (the card goes in)
//   present    the host's worker sees the card (its status change)
//   read       the host has read the card (commands and milliseconds, as the
//              worker measures them)
//   typed      the last digit arrives in the window
// Needs root (a mount namespace for pcscd) and DISPLAY (run.sh provides a
// private Xvfb).
//
//   card-readers-bench [--runs N]

#include "connectionpeer.h"
#include "keysequencelink.h"
#include "pcscsandbox.h"

#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr quint16 readerPort = 21200; // the tests use others

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Figures
{
    std::vector<double> values;
    void add(double value) { values.push_back(value); }
    double at(double p) const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5))];
    }
    void print(const char *what, const char *unit = "ms") const
    {
        std::printf("  %-44s median %7.2f   p99 %7.2f   min %7.2f   max %7.2f %s\n", what, at(0.5), at(0.99), at(0),
                    at(1), unit);
    }
};

// The value of the last line "<event> <seconds> ..." in the output.
double lastTime(const QString &output, const QString &event)
{
    const QRegularExpression line(QStringLiteral("(?:^|\n)%1 ([0-9.]+)").arg(event));
    double seconds = -1;
    for (auto it = line.globalMatch(output); it.hasNext();)
        seconds = it.next().captured(1).toDouble();
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 120;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
    }
    if (runs < 1 || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "usage: card-readers-bench [--runs N] (with DISPLAY set)\n");
        return 2;
    }
    const QString missing = pcsc::missing();
    if (!missing.isEmpty()) {
        std::printf("card readers: skipped, %s\n", qPrintable(missing));
        return 0;
    }
    const QString namespaceError = pcsc::enterPrivateNamespace();
    if (!namespaceError.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(namespaceError));
        return 1;
    }

    // Private socket, log and settings folders, like the tests.
    QTemporaryDir sandbox;
    const std::pair<const char *, const char *> folders[] = {
        {"TMPDIR", "tmp"}, {"XDG_RUNTIME_DIR", "runtime"}, {"XDG_CONFIG_HOME", "config"},
        {"HOME", "home"}, {"ALLUSERSPROFILE", "programdata"}};
    for (const auto &[variable, folder] : folders) {
        QDir(sandbox.path()).mkpath(QLatin1String(folder));
        qputenv(variable, QFile::encodeName(sandbox.filePath(QLatin1String(folder))));
    }
    qputenv("LC_ALL", "C.UTF-8");
    qunsetenv("QT_LOGGING_RULES");

    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QByteArray typed;
    double lastKey = 0;
    QObject::connect(&window, &QProcess::readyReadStandardOutput, [&] {
        typed += window.readAllStandardOutput();
        lastKey = now();
    });
    window.start(QStringLiteral(XTEXTWINDOW), QStringList());
    if (!QTest::qWaitFor([&] { return typed.contains("ready\n"); }, 10000)) {
        std::fprintf(stderr, "xtextwindow did not get ready\n");
        return 1;
    }
    typed.clear();

    QProcess agent;
    agent.setWorkingDirectory(sandbox.path());
    agent.setProcessChannelMode(QProcess::MergedChannels);
    agent.start(QStringLiteral(KAVO_USER_AGENT), QStringList());
    namespace link = veltor::system::keysequencelink;
    const QString socket = sandbox.filePath("runtime/")
        + veltor::system::ConnectionPeer::serverNameFor(link::channel, link::organization, link::application);
    if (!QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 10000)) {
        std::fprintf(stderr, "the agent did not start listening\n");
        return 1;
    }

    const QString readerName = QStringLiteral("Cherry SmartTerminal ST-1144");
    pcsc::Daemon daemon({{readerName, readerPort}});
    if (!daemon.start()) {
        std::fprintf(stderr, "pcscd did not start:\n%s\n", qPrintable(daemon.log()));
        return 1;
    }
    const QString reader = daemon.reader(readerPort);

    // The worker's lines, stamped with the monotonic clock in milliseconds.
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_LOGGING_RULES", "*.debug=false;ch.veltor.kavo-service.host.cardworker.debug=true");
    env.insert("QT_MESSAGE_PATTERN", "%{time boot} %{message}");
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(sandbox.path());
    host.setProcessChannelMode(QProcess::MergedChannels);
    QString hostLog;
    QObject::connect(&host, &QProcess::readyRead, [&] { hostLog += QString::fromUtf8(host.readAll()); });
    host.start(QStringLiteral(KAVO_SERVICE), QStringList{"--listen", "127.0.0.1:0"});
    if (!QTest::qWaitFor([&] { return hostLog.contains(QStringLiteral("Card reader \"%1\" found.").arg(reader)); }, 10000)) {
        std::fprintf(stderr, "kavo-service does not see the reader:\n%s\n", qPrintable(hostLog));
        return 1;
    }

    pcsc::Card card(daemon, readerPort, {"--removed"});
    const QRegularExpression present(QStringLiteral("(?:^|\n) *([0-9.]+) A card is in reader"));
    const QRegularExpression read(QStringLiteral("(?:^|\n) *[0-9.]+ Read the VeKa card in reader .* with (\\d+) commands in ([0-9.]+) ms\\."));
    Figures toKeys, presentToRead, readMs, commands, polling, pollingAtr;

    auto insert = [&](bool measured) {
        QByteArray number("80756");
        while (number.size() < 20)
            number += char('0' + QRandomGenerator::global()->bounded(10));
        // At a random point of pcscd's polling cycle, as a hand would.
        QTest::qWait(QRandomGenerator::global()->bounded(500));
        const int before = hostLog.count(QStringLiteral("Read the VeKa card"));
        typed.clear();
        card.command("card number=" + number);
        card.command("insert");
        if (!QTest::qWaitFor([&] { return typed.size() >= number.size(); }, 10000) || typed != number
            || !QTest::qWaitFor([&] { return hostLog.count(QStringLiteral("Read the VeKa card")) > before; }, 5000)) {
            std::fprintf(stderr, "inserted %s, the window got '%s'; host log:\n%s\n", number.constData(),
                         typed.constData(), qPrintable(hostLog.right(2000)));
            return false;
        }
        // Only the lines of this insertion.
        double seen = 0;
        for (auto it = present.globalMatch(hostLog); it.hasNext();)
            seen = it.next().captured(1).toDouble();
        QRegularExpressionMatch done;
        for (auto it = read.globalMatch(hostLog); it.hasNext();)
            done = it.next();
        const double connected = lastTime(card.output, "inserted");
        const double powered = lastTime(card.output, "powered");
        card.command("remove");
        if (!pcsc::waitForEmpty(reader)) {
            std::fprintf(stderr, "the reader did not become empty\n");
            return false;
        }
        if (measured) {
            toKeys.add((lastKey - seen) * 1000);
            readMs.add(done.captured(2).toDouble());
            commands.add(done.captured(1).toDouble());
            polling.add((seen - connected) * 1000);
            pollingAtr.add((powered - connected) * 1000);
        }
        return true;
    };

    // The first insertion also sets up the peer link.
    if (!insert(false))
        return 1;
    for (int run = 0; run < runs; ++run) {
        if (!insert(true))
            return 1;
    }

    card.remove();
    for (QProcess *process : {&host, &agent, &window}) {
        process->terminate();
        process->waitForFinished(5000);
    }

    std::printf("card readers, %d insertions of an emulated VeKa card that answers at once into a virtual\n"
                "Cherry reader of a private pcscd (host, plug-in and agent as in production):\n", runs);
    toKeys.print("card present (worker) -> last key in window");
    readMs.print("card read by the worker");
    commands.print("commands per card", "APDUs");
    polling.print("card in (emulator connects) -> present");
    pollingAtr.print("card in -> pcscd's poll asks for the ATR");
    std::printf("  (the host's times carry whole milliseconds: %%{time boot})\n");
    return 0;
}
