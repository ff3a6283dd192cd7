// Plays the plug-in's side of the peer link: runs the election and sends one
// text, the way the plug-in does, then exits. Whichever side elects first
// listens, so if the agent is not listening yet this side waits for it to
// connect.
//
//   kavo-peer-sender [--timeout MS] TEXT
//
// Exit code 0 once the text is written, 1 when no peer took it in time.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTextStream>
#include <QThread>

#include "connectionpeer.h"

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    int timeoutMs = 10000;
    if (args.size() == 3 && args.at(0) == QLatin1String("--timeout")) {
        timeoutMs = args.at(1).toInt();
        args = args.mid(2);
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: kavo-peer-sender [--timeout MS] TEXT\n");
        return 2;
    }
    const QString text = args.first();

    veltor::system::ConnectionPeer peer(QStringLiteral("sendKeySequence"), QStringLiteral("Veltor"),
                                        QStringLiteral("m3-plugin-system"));
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        peer.connectOrListen(100);
        if (peer.sendMessage(text.toLocal8Bit(), 100)) {
            std::printf("sent\n");
            return 0;
        }
        if (deadline.hasExpired())
            break;
        // listening: give the agent's next election the chance to connect
        QDeadlineTimer pause(100);
        while (!pause.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    std::fprintf(stderr, "No peer took the text.\n");
    return 1;
}
