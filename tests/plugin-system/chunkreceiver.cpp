// Stands in for the user agent: takes the link under the agent's identity and
// prints every message it receives on its own line. It quits when its standard
// input closes, so that it never outlives the test that started it.

#include "connectionpeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    QFile out;
    if (!out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered))
        return 2;

    veltor::system::ConnectionPeer peer(QStringLiteral("sendKeySequence"), QStringLiteral("Veltor"),
                                        QStringLiteral("m3-plugin-system"));
    QObject::connect(&peer, &veltor::system::ConnectionPeer::messageReceived,
                     [&out](const QByteArray &message) { out.write(message + '\n'); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&]() {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });

    if (!peer.connectOrListen(100))
        return 1;
    out.write("ready\n");
    return app.exec();
}
