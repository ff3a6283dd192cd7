// Latency of the peer link between two processes: from sendMessage on one side to
// messageReceived on the other, for 20-byte messages, one in flight at a time.
//
// The timing side listens and starts a copy of this program as the echo side. Each
// message carries the sender's CLOCK_MONOTONIC time (shared by all processes on
// Linux); the echo side stamps its own time at messageReceived and sends it back, so
// the timing side gets both the one-way time and the round trip.
//
//   peerlink-bench [--messages N] [--warmup N]
#include <connectionpeer.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

using veltor::system::ConnectionPeer;

namespace {

constexpr int messageSize = 20; // send time (8), echo's receive time (8), sequence number (4)
constexpr quint32 quitSequence = 0xffffffff;

qint64 nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Message
{
    qint64 sent = 0;
    qint64 echoed = 0;
    quint32 sequence = 0;

    QByteArray encode() const
    {
        QByteArray bytes(messageSize, '\0');
        std::memcpy(bytes.data(), &sent, 8);
        std::memcpy(bytes.data() + 8, &echoed, 8);
        std::memcpy(bytes.data() + 16, &sequence, 4);
        return bytes;
    }
    static Message decode(const char *bytes)
    {
        Message m;
        std::memcpy(&m.sent, bytes, 8);
        std::memcpy(&m.echoed, bytes + 8, 8);
        std::memcpy(&m.sequence, bytes + 16, 4);
        return m;
    }
};

// The link has no framing: reassemble 20-byte messages from whatever each read returns.
class Framer
{
public:
    template<typename F>
    void feed(const QByteArray &bytes, F &&onMessage)
    {
        pending += bytes;
        int offset = 0;
        for (; pending.size() - offset >= messageSize; offset += messageSize)
            onMessage(Message::decode(pending.constData() + offset));
        pending.remove(0, offset);
    }

private:
    QByteArray pending;
};

double percentile(std::vector<qint64> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return double(values[index]) / 1000.0;
}

void report(const char *what, const std::vector<qint64> &ns)
{
    std::printf("%-36s median %7.1f us   p90 %7.1f us   p99 %7.1f us   max %8.1f us\n", what, percentile(ns, 50),
                percentile(ns, 90), percentile(ns, 99), percentile(ns, 100));
}

int runEcho(const QString &application)
{
    ConnectionPeer peer(QStringLiteral("bench"), QStringLiteral("Veltor"), application);
    Framer framer;
    QObject::connect(&peer, &ConnectionPeer::messageReceived, [&](const QByteArray &bytes) {
        const qint64 received = nowNs();
        framer.feed(bytes, [&](Message m) {
            if (m.sequence == quitSequence) {
                QCoreApplication::exit(0);
                return;
            }
            m.echoed = received;
            peer.sendMessage(m.encode(), 100);
        });
    });
    if (!peer.connectOrListen(100))
        return 1;
    peer.sendMessage(Message().encode(), 100); // ready
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ch.veltor.system.connectionpeer.debug=false\n"
                                                    "ch.veltor.system.connectionpeer.info=false"));
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--echo"))
        return runEcho(args.at(2));

    int messages = 10000;
    int warmup = 1000;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--messages"))
            messages = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--warmup"))
            warmup = args.at(i + 1).toInt();
    }
    if (messages <= 0 || warmup < 0) {
        std::fprintf(stderr, "usage: peerlink-bench [--messages N] [--warmup N]\n");
        return 2;
    }

    const QString application = QStringLiteral("peerlink-bench-%1").arg(QCoreApplication::applicationPid());
    ConnectionPeer peer(QStringLiteral("bench"), QStringLiteral("Veltor"), application);
    if (!peer.connectOrListen(100)) {
        std::fprintf(stderr, "could not listen\n");
        return 1;
    }
    QProcess echo;
    echo.setProcessChannelMode(QProcess::ForwardedChannels);
    echo.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--echo"), application});

    std::vector<qint64> oneWay, roundTrip;
    oneWay.reserve(size_t(messages));
    roundTrip.reserve(size_t(messages));
    int batches = 0;
    quint32 next = 0;
    const quint32 total = quint32(warmup + messages);
    qint64 start = 0;
    qint64 end = 0;

    auto sendNext = [&] {
        Message m;
        m.sequence = ++next;
        m.sent = nowNs();
        peer.sendMessage(m.encode(), 100);
    };
    Framer framer;
    QObject::connect(&peer, &ConnectionPeer::messageReceived, [&](const QByteArray &bytes) {
        const qint64 received = nowNs();
        ++batches;
        framer.feed(bytes, [&](const Message &m) {
            if (m.sequence == 0) { // the echo side is linked
                start = nowNs();
            } else if (m.sequence > quint32(warmup)) {
                oneWay.push_back(m.echoed - m.sent);
                roundTrip.push_back(received - m.sent);
            }
            if (m.sequence == total) {
                end = nowNs();
                QCoreApplication::exit(0);
            } else {
                // Not from inside this slot: a send may wait for bytes to be written,
                // and a read during that wait would not raise another readyRead.
                QTimer::singleShot(0, sendNext);
            }
        });
    });
    QTimer::singleShot(30000, [] {
        std::fprintf(stderr, "timed out\n");
        QCoreApplication::exit(1);
    });
    const int status = app.exec();
    if (status != 0 || oneWay.size() != size_t(messages)) {
        echo.kill();
        echo.waitForFinished(1000);
        return status ? status : 1;
    }

    std::printf("peer link, %d messages of %d bytes, one in flight (after %d to warm up)\n", messages, messageSize,
                warmup);
    report("sendMessage -> messageReceived", oneWay);
    report("round trip (echoed straight back)", roundTrip);
    std::printf("%-36s %.0f messages/s, %d reads for %u messages\n", "ping-pong rate",
                double(total) * 1e9 / double(end - start), batches, total + 1);

    Message quit;
    quit.sequence = quitSequence;
    peer.sendMessage(quit.encode(), 100);
    echo.waitForFinished(5000);
    return 0;
}
