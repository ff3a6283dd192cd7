#include <connectionpeer.h>
#include <keysequencelink.h>

#include "otheruser.h"
#include "peerprocess.h"
#include "sandbox.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QtTest>

#include <memory>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using veltor::system::ConnectionPeer;

namespace {

// What the in-process peers log and receive, in order.
QStringList events;
QtMessageHandler previousHandler = nullptr;

void recordPeerLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
    if (qstrcmp(context.category, "ch.veltor.system.connectionpeer") == 0)
        events << QLatin1String(levels[type]) + QLatin1Char(' ') + message;
    previousHandler(type, context, message);
}

void recordReceived(ConnectionPeer &peer)
{
    QObject::connect(&peer, &ConnectionPeer::messageReceived,
                     [](const QByteArray &message) { events << QStringLiteral("received ") + QString::fromLatin1(message); });
}

QString socketPath(const QString &folder, const QStringList &identity)
{
    return folder + '/' + ConnectionPeer::serverNameFor(identity.at(0), identity.at(1), identity.at(2));
}

} // namespace

class tst_ConnectionPeer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void socketName_data();
    void socketName();
    void election_data();
    void election();
    void alreadyListening();
    void listenFailure();
    void simultaneousElection();
    void thirdPeerIsRefused();
    void refusedPeerLeavesNoTrace();
    void otherUser_data();
    void otherUser();
    void otherUserHoldsTheName();
    void bytesBeforeCloseAreDelivered_data();
    void bytesBeforeCloseAreDelivered();
    void listenerKilledNameTakenOver();
    void sendWithoutPeer();
    void sendToVanishedPeer();

private:
    QStringList uniqueIdentity();

    // Local sockets live in the runtime folder, else in the temporary folder:
    // the sandbox's keep these tests away from a running agent and from other
    // tests on the machine.
    Sandbox sandbox;
    // For another user: a copy of the helper, in a folder that also holds one
    // that all users share (like /tmp) and a runtime folder of that user's own.
    std::unique_ptr<StagedProgram> otherUserPeer;
    QString otherUserDir;
    uid_t otherUid = 0;
    int identityCounter = 0;
};

void tst_ConnectionPeer::initTestCase()
{
    previousHandler = qInstallMessageHandler(recordPeerLog);

    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody || !::getgrnam("nogroup") || QStandardPaths::findExecutable("setpriv").isEmpty())
        return;
    otherUserPeer.reset(new StagedProgram(PeerProcess::program()));
    QVERIFY(otherUserPeer->isValid());
    const QString root = otherUserDir = otherUserPeer->folder();
    QVERIFY(QDir(root).mkdir("shared") && QDir(root).mkdir("runtime"));
    QVERIFY(::chmod(QFile::encodeName(root + "/shared").constData(), 01777) == 0);
    QVERIFY(::chown(QFile::encodeName(root + "/runtime").constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    QVERIFY(::chmod(QFile::encodeName(root + "/runtime").constData(), 0700) == 0);
    otherUid = nobody->pw_uid;
}

void tst_ConnectionPeer::init()
{
    events.clear();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.path("runtime")));
    qputenv("TMPDIR", QFile::encodeName(sandbox.path("tmp")));
}

namespace {

QStringList asNobody(const QString &program)
{
    return setprivAs("nobody", "nogroup") << program;
}

} // namespace

QStringList tst_ConnectionPeer::uniqueIdentity()
{
    return {QStringLiteral("test"), QStringLiteral("Veltor"), QStringLiteral("tst_connectionpeer-%1").arg(++identityCounter)};
}

void tst_ConnectionPeer::socketName_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<QString>("organization");
    QTest::addColumn<QString>("application");
    QTest::addColumn<QString>("name");

    // what the agents and plug-ins out there meet on
    namespace link = veltor::system::keysequencelink;
    QTest::addRow("the system's identity") << QString(link::channel) << QString(link::organization)
                                           << QString(link::application)
                                           << "d33ed4a54483b2efead5860f937e2dd5088ab1fbdbe70ba03b036ad7d805fa11";
    QTest::addRow("organisation in lower case") << "sendKeySequence" << "veltor" << "m3-plugin-system"
                                                << "0c2793cd77ba152f4e42734ec5e87f91b99f6b3e5d5c22efbaebdf79c3d257cc";
    QTest::addRow("last letter changed") << "sendKeySequence" << "Veltor" << "m3-plugin-systen"
                                         << "80ef0c19e067f66d3056a6a60373cc627c18ab84826c8dd5f7e69edaf3e96f06";
    QTest::addRow("channel and organisation swapped") << "Veltor" << "sendKeySequence" << "m3-plugin-system"
                                                      << "e6ab4eac8526e516643c717cf74e20497555b446aaaadf8e6a8c20cf9bcbcb0d";
    QTest::addRow("empty channel") << "" << "Veltor" << "m3-plugin-system"
                                   << "ccef58ddc3aefb0bd9b357aa665136e57c5a591cdb1c70e4daef2fca75dc2b75";
    QTest::addRow("empty application") << "sendKeySequence" << "Veltor" << ""
                                       << "7f9ce1cb5f6d3d89068468a84804654b6192160673279b48c716a3c4466efa5c";
    QTest::addRow("all empty") << "" << "" << ""
                               << "b27497d36c8295b98892c2f327d2656ce515c98f3393366d65f66aeb80ad6be8";
    QTest::addRow("non-ASCII as UTF-8") << "sendKeySequence" << QString::fromUtf8("Z\xc3\xbcrich") << "m3-plugin-system"
                                        << "6e072c6873163bc372e7a18cae4f927132f5edd5e77d3c0b4edece5c7ae4ffc2";
}

void tst_ConnectionPeer::socketName()
{
    QFETCH(QString, channel);
    QFETCH(QString, organization);
    QFETCH(QString, application);
    QFETCH(QString, name);

    ConnectionPeer peer(channel, organization, application);
    QVERIFY(peer.connectOrListen(100));
    const QString path = sandbox.path("runtime/" + name);
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser), QFile::ReadOwner | QFile::WriteOwner);

    QLocalSocket probe;
    probe.connectToServer(path);
    QVERIFY(probe.waitForConnected(1000));
    QTRY_VERIFY(events.contains(QStringLiteral("info Peer found.")));
}

void tst_ConnectionPeer::election_data()
{
    QTest::addColumn<bool>("thisProcessFirst");
    QTest::addRow("this process listens") << true;
    QTest::addRow("the other process listens") << false;
}

void tst_ConnectionPeer::election()
{
    QFETCH(bool, thisProcessFirst);
    const QStringList identity = uniqueIdentity();
    const QStringList listenerLog{"debug I'll be the listening peer.", "debug Listening for peer."};
    const QStringList connectorLog{"debug Found listening peer.", "info Peer found."};

    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));
    recordReceived(peer);
    PeerProcess other(identity);
    if (thisProcessFirst) {
        QVERIFY(peer.connectOrListen(100));
        QCOMPARE(events, listenerLog);
        other.command("elect");
        QTRY_VERIFY(other.lines.contains("elect true"));
        QCOMPARE(other.log(), connectorLog);
        QTRY_COMPARE(events, listenerLog + QStringList{"info Peer found."});
    } else {
        other.command("elect");
        QTRY_VERIFY(other.lines.contains("elect true"));
        QCOMPARE(other.log(), listenerLog);
        QVERIFY(peer.connectOrListen(100));
        QCOMPARE(events, connectorLog);
        QTRY_COMPARE(other.log(), listenerLog + QStringList{"info Peer found."});
    }

    // A linked peer keeps its link and says nothing.
    const QStringList before = events;
    QVERIFY(peer.connectOrListen(100));
    QCOMPARE(events, before);

    other.command("send from the other side");
    QTRY_VERIFY(events.contains("received from the other side"));
    QVERIFY(peer.sendMessage("from this side", 100));
    QTRY_VERIFY(other.lines.contains("received from%20this%20side"));

    events.clear();
    other.command("quit");
    QVERIFY(other.process.waitForFinished(3000));
    // The dropped socket closes once it is deleted.
    QTRY_COMPARE(events, (QStringList{"debug Peer disconnected.", "info Peer lost.", "debug Peer closing."}));

    QTest::ignoreMessage(QtWarningMsg, "No peer.");
    QVERIFY(!peer.sendMessage("lost", 100));
}

void tst_ConnectionPeer::alreadyListening()
{
    const QStringList identity = uniqueIdentity();
    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));
    QVERIFY(peer.connectOrListen(100));
    events.clear();
    QVERIFY(peer.connectOrListen(100));
    QCOMPARE(events, (QStringList{"debug I already am the listening peer.", "debug I am already listening."}));
}

void tst_ConnectionPeer::listenFailure()
{
    const QStringList identity = uniqueIdentity();
    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));

    // No socket can be made below a plain file; without a runtime folder the
    // temporary folder is used.
    QFile blocker(sandbox.path("tmp/not-a-folder"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(blocker.fileName()));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot open the lock file .*/not-a-folder/"));
    QTest::ignoreMessage(QtWarningMsg, "Could not become the listening peer.");
    const bool listened = peer.connectOrListen(100);
    qputenv("TMPDIR", QFile::encodeName(sandbox.path("tmp")));
    QVERIFY(!listened);
    QCOMPARE(events.size(), 2);
    QCOMPARE(events.at(1), "warning Could not become the listening peer.");

    // The failed server is gone, so the next call starts afresh.
    events.clear();
    QVERIFY(peer.connectOrListen(100));
    QCOMPARE(events, (QStringList{"debug I'll be the listening peer.", "debug Listening for peer."}));
}

void tst_ConnectionPeer::simultaneousElection()
{
    // Two processes elect at the same moment: one listens, the other links to it.
    for (int round = 0; round < 50; ++round) {
        const QStringList identity = uniqueIdentity();
        PeerProcess a(identity), b(identity);
        QTRY_VERIFY(a.lines.contains("ready") && b.lines.contains("ready"));
        a.command("elect");
        b.command("elect");
        QTRY_VERIFY(a.log().contains("info Peer found.") && b.log().contains("info Peer found."));
        QVERIFY2(a.log().contains("debug Listening for peer.") != b.log().contains("debug Listening for peer."),
                 qPrintable(QString("round %1: %2 | %3").arg(round).arg(a.log().join(','), b.log().join(','))));
        a.command("send ping");
        QTRY_VERIFY(b.lines.contains("received ping"));
    }
}

void tst_ConnectionPeer::thirdPeerIsRefused()
{
    const QStringList identity = uniqueIdentity();
    ConnectionPeer listener(identity.at(0), identity.at(1), identity.at(2));
    recordReceived(listener);
    QVERIFY(listener.connectOrListen(100));

    PeerProcess first(identity);
    first.command("elect\nsend first-1");
    QTRY_VERIFY(events.contains("received first-1"));

    // Two more connect while this side's event loop is away, so the listener
    // finds both at once. Their own connects succeed; the listener closes
    // them unread, saying so for each.
    PeerProcess second(identity), third(identity);
    for (PeerProcess *extra : {&second, &third}) {
        extra->command("elect\nsend extra");
        while (!extra->lines.contains("elect true") && extra->process.waitForReadyRead(10000)) {
        }
        QVERIFY(extra->lines.contains("elect true"));
    }
    QTRY_COMPARE(events.count("debug Already have a peer."), 2);
    for (PeerProcess *extra : {&second, &third})
        QTRY_VERIFY(extra->log().contains("info Peer lost."));

    first.command("send first-2");
    QTRY_VERIFY(events.contains("received first-2"));

    // Once the first has gone, the third's next election links it; what it
    // sent while refused is never delivered late.
    first.command("quit");
    QTRY_VERIFY(events.contains("info Peer lost."));
    events.clear();
    third.command("elect\nsend third-2");
    QTRY_COMPARE(events, (QStringList{"info Peer found.", "received third-2"}));
    third.command("send third-3");
    QTRY_COMPARE(events, (QStringList{"info Peer found.", "received third-2", "received third-3"}));
}

void tst_ConnectionPeer::refusedPeerLeavesNoTrace()
{
    const QStringList identity = uniqueIdentity();
    ConnectionPeer listener(identity.at(0), identity.at(1), identity.at(2));
    recordReceived(listener);
    QVERIFY(listener.connectOrListen(100));

    PeerProcess first(identity);
    first.command("elect");
    QTRY_VERIFY(events.contains("info Peer found."));
    PeerProcess gone(identity);
    gone.command("elect\nsendquit last words");
    QVERIFY(gone.process.waitForFinished(3000));
    QTRY_VERIFY(events.contains("debug Already have a peer."));

    first.command("quit");
    QTRY_VERIFY(events.contains("info Peer lost."));
    events.clear();

    // The next arrival is the peer at once; the dead one's words are gone.
    PeerProcess next(identity);
    next.command("elect\nsend hello");
    QTRY_COMPARE(events, (QStringList{"info Peer found.", "received hello"}));
}

void tst_ConnectionPeer::bytesBeforeCloseAreDelivered_data()
{
    QTest::addColumn<bool>("otherSideCloses");
    QTest::addRow("the other process exits") << true;
    QTest::addRow("this peer is destroyed") << false;
}

void tst_ConnectionPeer::bytesBeforeCloseAreDelivered()
{
    QFETCH(bool, otherSideCloses);
    const QStringList identity = uniqueIdentity();
    const QByteArray tail(64 * 1024, 'x'); // more than one read, so a late close would cut it

    if (otherSideCloses) {
        ConnectionPeer listener(identity.at(0), identity.at(1), identity.at(2));
        QByteArray received;
        connect(&listener, &ConnectionPeer::messageReceived, [&](const QByteArray &message) {
            received += message;
            events << QStringLiteral("received");
        });
        QVERIFY(listener.connectOrListen(100));
        PeerProcess other(identity);
        other.command("elect\nsendquit " + tail);
        QTRY_VERIFY(events.contains("info Peer lost."));
        QCOMPARE(received.size(), tail.size());
        QCOMPARE(received, tail);
        QCOMPARE(events.lastIndexOf("received") < events.indexOf("info Peer lost."), true);
    } else {
        PeerProcess other(identity);
        other.command("elect");
        QTRY_VERIFY(other.lines.contains("elect true"));
        auto peer = std::make_unique<ConnectionPeer>(identity.at(0), identity.at(1), identity.at(2));
        QVERIFY(peer->connectOrListen(100));
        QTRY_VERIFY(other.log().contains("info Peer found."));
        QVERIFY(peer->sendMessage(tail, 100));
        peer.reset();
        QCOMPARE(events.mid(events.size() - 3),
                 (QStringList{"debug Peer closing.", "info Peer lost.", "debug Peer disconnected."}));
        QTRY_VERIFY(other.log().contains("info Peer lost."));
        QCOMPARE(other.received(), tail);
        QVERIFY(other.lines.lastIndexOf(QRegularExpression("^received ")) < other.lines.indexOf("log info Peer lost."));
    }
}

void tst_ConnectionPeer::otherUser_data()
{
    QTest::addColumn<bool>("usersFolder"); // else a folder that all users share
    QTest::addColumn<bool>("otherListens");
    // As root this process stands for a host the system runs: it links with the
    // owner of the runtime folder it is given, and with nobody else.
    QTest::addRow("other user listens in a shared folder") << false << true;
    QTest::addRow("other user connects in a shared folder") << false << false;
    QTest::addRow("root connects to the folder's user") << true << true;
    QTest::addRow("the folder's user connects to root") << true << false;
}

void tst_ConnectionPeer::otherUser()
{
    QFETCH(bool, usersFolder);
    QFETCH(bool, otherListens);
    if (!otherUserPeer)
        QSKIP("needs root, setpriv and the users nobody and nogroup");
    if (usersFolder) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(otherUserDir + "/runtime"));
    } else {
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(otherUserDir + "/shared"));
    }
    const QStringList identity = uniqueIdentity();
    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));
    recordReceived(peer);
    PeerProcess other(identity, asNobody(otherUserPeer->path()));
    QTRY_VERIFY2(other.lines.contains("ready"), "the helper cannot run as nobody");

    if (otherListens) {
        other.command("elect");
        QTRY_VERIFY(other.lines.contains("elect true"));
        QCOMPARE(peer.connectOrListen(100), usersFolder);
        if (usersFolder) {
            QVERIFY(peer.sendMessage("1234", 100));
            QTRY_VERIFY(other.lines.contains("received 1234"));
        } else {
            // It would have received the card numbers.
            QVERIFY(events.contains(QString("warning Refused the listening peer of user %1.").arg(otherUid)));
            QTRY_VERIFY(other.log().contains("info Peer lost."));
        }
    } else {
        QVERIFY(peer.connectOrListen(100));
        if (usersFolder) {
            other.command("elect\nsend echo typed");
            QTRY_VERIFY(events.contains("received echo typed"));
        } else {
            // A client of its own, past a socket made with wider access: it
            // would have typed into this user's session, and held the link.
            const QString path = socketPath(qEnvironmentVariable("TMPDIR"), identity);
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0666) == 0);
            QProcess intruder;
            const QStringList command = asNobody("/usr/bin/python3") << "-c" << "import socket, sys\n"
                "s = socket.socket(socket.AF_UNIX)\ns.connect(sys.argv[1])\ns.sendall(b'echo typed')\n"
                "try: s.recv(1)\nexcept OSError: pass\n" << path;
            intruder.start(command.first(), command.mid(1));
            QTRY_VERIFY(events.contains(QString("warning Refused a connection from user %1.").arg(otherUid)));
            QTRY_COMPARE(intruder.state(), QProcess::NotRunning); // closed at once
            PeerProcess own(identity);
            own.command("elect\nsend 1234");
            QTRY_VERIFY(events.contains("received 1234"));
            QVERIFY(!events.contains("received echo typed"));
        }
    }
}

void tst_ConnectionPeer::otherUserHoldsTheName()
{
    if (!otherUserPeer)
        QSKIP("needs root, setpriv and the users nobody and nogroup");
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(otherUserDir + "/shared"));
    const QStringList identity = uniqueIdentity();
    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));
    const QString name = socketPath(otherUserDir + "/shared", identity);
    const QStringList touch = asNobody("touch") << name;
    QCOMPARE(QProcess::execute(touch.first(), touch.mid(1)), 0);

    // Nobody answers on it, and it is not ours to remove: reported at every election.
    for (int election = 1; election <= 2; ++election) {
        QVERIFY(!peer.connectOrListen(100));
        QCOMPARE(events.count(QString("warning The link's name %1 is held by user %2 and nobody answers on it.")
                                  .arg(name).arg(otherUid)), election);
    }
    QVERIFY(QFileInfo::exists(name));
}

void tst_ConnectionPeer::listenerKilledNameTakenOver()
{
    const QStringList identity = uniqueIdentity();
    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));
    recordReceived(peer);
    {
        PeerProcess listener(identity);
        listener.command("elect");
        QTRY_VERIFY(listener.lines.contains("elect true"));
        QVERIFY(peer.connectOrListen(100));
        QTRY_VERIFY(listener.log().contains("info Peer found."));
        listener.process.kill(); // leaves its socket name behind
        QVERIFY(listener.process.waitForFinished(3000));
    }
    QTRY_VERIFY(events.contains("info Peer lost."));

    events.clear();
    QVERIFY(peer.connectOrListen(100));
    QCOMPARE(events, (QStringList{"debug I'll be the listening peer.", "debug Listening for peer."}));
    PeerProcess newcomer(identity);
    newcomer.command("elect\nsend again");
    QTRY_VERIFY(events.contains("received again"));
}

void tst_ConnectionPeer::sendWithoutPeer()
{
    ConnectionPeer peer{QString(), QString(), QString()};
    QTest::ignoreMessage(QtWarningMsg, "No peer.");
    QVERIFY(!peer.sendMessage("dropped", 100));
    QCOMPARE(events, QStringList{"warning No peer."});
}

void tst_ConnectionPeer::sendToVanishedPeer()
{
    const QStringList identity = uniqueIdentity();
    PeerProcess listener(identity);
    listener.command("elect");
    QTRY_VERIFY(listener.lines.contains("elect true"));

    ConnectionPeer peer(identity.at(0), identity.at(1), identity.at(2));
    QVERIFY(peer.connectOrListen(100));
    // The other side goes while this side's event loop does not run, so the
    // send itself is what finds the link broken and closes it.
    listener.command("quit");
    QVERIFY(listener.process.waitForFinished(3000));
    events.clear();
    QVERIFY(!peer.sendMessage("lost", 100));
    QVERIFY(events.contains("info Peer lost."));

    // Idle again: the next election starts afresh and takes over the name.
    events.clear();
    QVERIFY(peer.connectOrListen(100));
    QCOMPARE(events, (QStringList{"debug I'll be the listening peer.", "debug Listening for peer."}));
}

QTEST_MAIN(tst_ConnectionPeer)
#include "tst_connectionpeer.moc"
