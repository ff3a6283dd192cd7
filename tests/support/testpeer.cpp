// kavo-test-peer [CHANNEL ORGANIZATION APPLICATION]
//
// The other end of a peer link, for the tests: a ConnectionPeer in a process of
// its own, by default with the identity of the link between plug-in and agent.
// Driven over stdin, one command per line; an argument is percent-decoded:
//   elect           run the election with 100 ms, print "elect true|false"
//   send BYTES      send BYTES, print "sent true|false"
//   sendquit BYTES  send BYTES and exit at once, without returning to the event loop
//   deliver TEXT    as the plug-in does: elect and send TEXT (UTF-8) in the
//                   link's encoding, again every 100 ms until a peer takes it,
//                   for at most 10 s; print "delivered true|false"
//   quit            destroy the peer and exit; so does the end of stdin
// Printed on stdout in the order it happens: "ready" once commands are read,
// "received <percent-encoded bytes>" for every batch received, and
// "log <level> <message>" for every log line of the peer.
#include "connectionpeer.h"
#include "keysequencelink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

void say(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
    if (qstrcmp(context.category, "ch.veltor.system.connectionpeer") == 0)
        say(QByteArray("log ") + levels[type] + ' ' + message.toUtf8());
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(messageHandler);
    QCoreApplication app(argc, argv);
    namespace link = veltor::system::keysequencelink;
    QStringList identity = app.arguments().mid(1);
    if (identity.isEmpty())
        identity = QStringList{link::channel, link::organization, link::application};
    if (identity.size() != 3) {
        std::fprintf(stderr, "usage: kavo-test-peer [CHANNEL ORGANIZATION APPLICATION]\n");
        return 2;
    }

    auto peer = std::make_unique<veltor::system::ConnectionPeer>(identity.at(0), identity.at(1), identity.at(2));
    QObject::connect(peer.get(), &veltor::system::ConnectionPeer::messageReceived,
                     [](const QByteArray &message) { say("received " + message.toPercentEncoding()); });

    // A delivery waits between attempts for the other side's next election.
    QByteArray undelivered;
    QDeadlineTimer deliveryDeadline;
    QTimer retry;
    retry.setInterval(100);
    const auto attemptDelivery = [&] {
        peer->connectOrListen(100);
        const bool sent = peer->sendMessage(undelivered, 100);
        if (sent || deliveryDeadline.hasExpired()) {
            retry.stop();
            say(sent ? "delivered true" : "delivered false");
        }
    };
    QObject::connect(&retry, &QTimer::timeout, attemptDelivery);

    const auto finish = [&] {
        retry.stop();
        peer.reset();
        app.quit();
    };
    QFile input;
    input.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered);
    QByteArray pending;
    QSocketNotifier notifier(0, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char chunk[4096];
        const qint64 n = input.read(chunk, sizeof chunk);
        if (n <= 0) { // the test went away
            notifier.setEnabled(false);
            finish();
            return;
        }
        pending.append(chunk, int(n));
        int end;
        while (peer && (end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const int space = line.indexOf(' ');
            const QByteArray command = space < 0 ? line : line.left(space);
            const QByteArray argument = QByteArray::fromPercentEncoding(space < 0 ? QByteArray() : line.mid(space + 1));
            if (command == "elect") {
                say(peer->connectOrListen(100) ? "elect true" : "elect false");
            } else if (command == "send") {
                say(peer->sendMessage(argument, 100) ? "sent true" : "sent false");
            } else if (command == "sendquit") {
                say(peer->sendMessage(argument, 100) ? "sent true" : "sent false");
                std::exit(0); // no destructor: the other side sees the pipe close under its data
            } else if (command == "deliver") {
                undelivered = link::encode(QString::fromUtf8(argument));
                deliveryDeadline.setRemainingTime(10000);
                retry.start();
                attemptDelivery();
            } else if (command == "quit") {
                notifier.setEnabled(false);
                finish();
            }
        }
    });
    QMetaObject::invokeMethod(&app, [] { say("ready"); }, Qt::QueuedConnection);
    return app.exec();
}
