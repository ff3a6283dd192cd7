// Measures the road of a card insertion: from the moment a "card-inserted"
// chunk line is written into kavo-service's named pipe to the moment the last
// digit of the insured person's number shows up in a focused X window. On the
// way: the host's chunk reader, the plug-in's listener (XQuery, settings, peer
// link) and kavo-user-agent's key events. Needs DISPLAY (run.sh provides a
// private Xvfb).
//
//   card-road-bench [--runs N]

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "connectionpeer.h"
#include "keysequencelink.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

double percentile(const std::vector<double> &sorted, double p)
{
    const size_t index = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
    return sorted[index];
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray cardLine(const QString &xml, const QByteArray &number)
{
    QString data = xml;
    data.replace(QLatin1String("80756014390000472318"), QString::fromLatin1(number));
    const QJsonObject chunk{{"reader", "Cherry SmartTerminal ST-1144"},
                            {"event", "card-inserted"},
                            {"content", "card-admin-content"},
                            {"data", data}};
    return QJsonDocument(chunk).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 200;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
    }
    if (runs < 1 || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "usage: card-road-bench [--runs N] (with DISPLAY set)\n");
        return 2;
    }

    // Private socket, log and settings folders, like the tests.
    QTemporaryDir sandbox;
    for (const char *dir : {"tmp", "config", "home"})
        QDir(sandbox.path()).mkpath(QLatin1String(dir));
    qputenv("TMPDIR", QFile::encodeName(sandbox.filePath("tmp")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.filePath("tmp")));
    qputenv("ALLUSERSPROFILE", QFile::encodeName(sandbox.filePath("programdata")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.filePath("config")));
    qputenv("HOME", QFile::encodeName(sandbox.filePath("home")));
    qputenv("LC_ALL", "C.UTF-8");
    qunsetenv("QT_LOGGING_RULES");

    const QString xml = QString::fromUtf8(readFile(QStringLiteral(KAVO_SAMPLE_CARD)));
    if (xml.isEmpty()) {
        std::fprintf(stderr, "cannot read %s\n", KAVO_SAMPLE_CARD);
        return 1;
    }

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
    agent.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray console;
    QObject::connect(&agent, &QProcess::readyRead, [&] { console += agent.readAll(); });
    agent.start(QStringLiteral(KAVO_USER_AGENT), QStringList());
    // The link's socket is there once the agent listens.
    namespace link = veltor::system::keysequencelink;
    const QString socket = sandbox.filePath("tmp/")
        + veltor::system::ConnectionPeer::serverNameFor(link::channel, link::organization, link::application);
    if (!waitFor([&] { return QFileInfo::exists(socket); }, 10000)) {
        std::fprintf(stderr, "the agent did not start listening:\n%s\n", console.constData());
        return 1;
    }

    const QString fifo = sandbox.filePath("chunks");
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0) {
        std::perror("mkfifo");
        return 1;
    }
    const QString hostLog = sandbox.filePath("host.log");
    QProcess host;
    host.setWorkingDirectory(sandbox.path());
    host.setProcessChannelMode(QProcess::MergedChannels);
    host.setStandardOutputFile(hostLog);
    host.start(QStringLiteral(KAVO_SERVICE), QStringList{"--listen", "127.0.0.1:0", "--chunks", fifo});
    if (!waitFor([&] { return readFile(hostLog).contains("Listening on"); }, 10000)) {
        std::fprintf(stderr, "kavo-service did not start:\n%s\n", readFile(hostLog).constData());
        return 1;
    }

    // One writer for the whole run, as a card-reader driver would be.
    const int pipe = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
    if (pipe < 0) {
        std::perror("open the chunk pipe");
        return 1;
    }

    auto insert = [&](double *millis) {
        QByteArray number("80756");
        while (number.size() < 20)
            number += char('0' + QRandomGenerator::global()->bounded(10));
        const QByteArray line = cardLine(xml, number);
        typed.clear();
        const qint64 start = clock.nsecsElapsed();
        if (::write(pipe, line.constData(), size_t(line.size())) != line.size()) {
            std::perror("write the chunk line");
            return false;
        }
        if (!waitFor([&] { return typed.size() >= number.size(); }, 10000) || typed != number) {
            std::fprintf(stderr, "inserted %s, the window got '%s'\n", number.constData(), typed.constData());
            return false;
        }
        *millis = double(lastArrival - start) / 1e6;
        return true;
    };

    // The first insertion also sets up the peer link.
    double first = 0;
    if (!insert(&first))
        return 1;
    std::vector<double> millis;
    millis.reserve(size_t(runs));
    for (int run = 0; run < runs; ++run) {
        double m = 0;
        if (!insert(&m)) {
            std::fprintf(stderr, "run %d failed; host log:\n%s\n", run, readFile(hostLog).right(2000).constData());
            return 1;
        }
        millis.push_back(m);
    }

    ::close(pipe);
    for (QProcess *process : {&host, &agent, &window}) {
        process->terminate();
        process->waitForFinished(5000);
    }

    std::vector<double> sorted = millis;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double m : sorted)
        sum += m;
    std::printf("card road, 20-digit number, %d insertions (chunk line into kavo-service's pipe to the\n"
                "last key of the number in the window; host, plug-in and agent as in production):\n",
                runs);
    std::printf("  median %.2f ms   p99 %.2f ms   min %.2f ms   max %.2f ms   mean %.2f ms\n",
                percentile(sorted, 0.5), percentile(sorted, 0.99), sorted.front(), sorted.back(),
                sum / double(sorted.size()));
    std::printf("  first insertion, which also sets up the peer link: %.2f ms\n", first);
    return 0;
}
