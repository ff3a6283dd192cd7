// A peer in a process of its own, driven over stdin one command per line:
//   elect          run the election with 100 ms, print "elect true|false"
//   send TEXT      send TEXT (everything after the space), print "sent true|false"
//   sendquit TEXT  send TEXT and exit at once, without returning to the event loop
//   quit           destroy the peer and exit
// Every received batch is printed as "received <percent-encoded bytes>", every log
// line of the peer as "log <level> <message>", all on stdout in the order they happen.
// "ready" comes first, once commands are read.
#include <connectionpeer.h>

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

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
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: peerhelper CHANNEL ORGANIZATION APPLICATION\n");
        return 2;
    }

    auto peer = std::make_unique<veltor::system::ConnectionPeer>(args.at(1), args.at(2), args.at(3));
    QObject::connect(peer.get(), &veltor::system::ConnectionPeer::messageReceived,
                     [](const QByteArray &message) { say("received " + message.toPercentEncoding()); });

    QFile input;
    input.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered);
    QByteArray pending;
    QSocketNotifier notifier(0, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char chunk[4096];
        const qint64 n = input.read(chunk, sizeof chunk);
        if (n <= 0) { // the test went away
            notifier.setEnabled(false);
            peer.reset();
            app.quit();
            return;
        }
        pending.append(chunk, int(n));
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const int space = line.indexOf(' ');
            const QByteArray command = space < 0 ? line : line.left(space);
            const QByteArray argument = space < 0 ? QByteArray() : line.mid(space + 1);
            if (command == "elect") {
                say(peer->connectOrListen(100) ? "elect true" : "elect false");
            } else if (command == "send") {
                say(peer->sendMessage(argument, 100) ? "sent true" : "sent false");
            } else if (command == "sendquit") {
                say(peer->sendMessage(argument, 100) ? "sent true" : "sent false");
                std::exit(0); // no destructor: the other side sees the pipe close under its data
            } else if (command == "quit") {
                notifier.setEnabled(false);
                peer.reset();
                app.quit();
                return;
            }
        }
    });
    QMetaObject::invokeMethod(&app, [] { say("ready"); }, Qt::QueuedConnection);
    return app.exec();
}
