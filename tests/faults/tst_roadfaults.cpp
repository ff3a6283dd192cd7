#include <QtTest>

#include "cardchunks.h"
#include "programs.h"
#include "typedwindow.h"

#include <QTcpSocket>

#include <memory>

// Processes of the card road dying, starting late or doubled, with the real
// kavo-service and plug-in, the real kavo-user-agent and a window on a private
// X display, all with their default logging. Each test builds its road in a
// sandbox of its own, so the peer link's socket is never shared between
// tests; the window is. Which side listens shows in the kernel's table of
// sockets, not in a log.
class tst_RoadFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void agentKilledBetweenCards_data();
    void agentKilledBetweenCards();
    void hostKilledWhileAgentRuns_data();
    void hostKilledWhileAgentRuns();
    void agentStartedLate();
    void twoHosts();
    void descriptorsExhausted();

private:
    QString typed() const { return window.typed(); }
    HostProcess *startHost(const QString &fifoName, const QStringList &launcher = {});
    AgentProcess *startAgent();
    bool listens(ProgramProcess *program) const
    {
        return listensOn(program->process.processId(), sandbox->linkSocket());
    }
    void insertCard(HostProcess *host, const QString &fifoName, const QString &number);
    void expectTyped(const QString &before, const QString &number);
    void road_data();
    void buildRoad(bool pluginListens);

    TypedWindow window;
    std::unique_ptr<Sandbox> sandbox;
    std::vector<std::unique_ptr<HostProcess>> hosts;
    std::vector<std::unique_ptr<AgentProcess>> agents;
};

namespace {

// True once text shows up in the program's log at or after position from.
bool logShows(ProgramProcess *program, const QString &text, int from = 0, int timeoutMs = 10000)
{
    return QTest::qWaitFor([&] { return program->log().indexOf(text, from) >= 0; }, timeoutMs);
}

const QString peerFound = QStringLiteral("Peer found.");
const QString peerLost = QStringLiteral("Peer lost.");

} // namespace

void tst_RoadFaults::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run through with-xvfb)");
    // A host that dies while being fed must fail the test, not kill it.
    ::signal(SIGPIPE, SIG_IGN);
    QVERIFY(window.start(QStringLiteral(XTEXTWINDOW)));
}

void tst_RoadFaults::init()
{
    sandbox.reset(new Sandbox);
}

void tst_RoadFaults::cleanup()
{
    // Whatever is still running must not have crashed on the way.
    for (auto &host : hosts) {
        if (host->process.state() == QProcess::Running) {
            QVERIFY2(host->stop(), qPrintable(host->log()));
            QCOMPARE(host->process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(host->process.exitCode(), 0);
        }
    }
    for (auto &agent : agents) {
        if (agent->process.state() == QProcess::Running) {
            QVERIFY(agent->stop());
            QCOMPARE(agent->process.exitStatus(), QProcess::NormalExit);
        }
    }
    if (QTest::currentTestFailed()) {
        for (auto &host : hosts)
            qWarning().noquote() << "host log:\n" << host->log();
        for (auto &agent : agents)
            qWarning().noquote() << "agent log:\n" << agent->log();
    }
    hosts.clear();
    agents.clear();
    sandbox.reset();
}

HostProcess *tst_RoadFaults::startHost(const QString &fifoName, const QStringList &launcher)
{
    if (!QFileInfo::exists(sandbox->path(fifoName)) && !sandbox->makeFifo(fifoName))
        return nullptr;
    hosts.emplace_back(new HostProcess(*sandbox));
    HostProcess *host = hosts.back().get();
    if (!host->start({"--chunks", sandbox->path(fifoName)}, launcher)) {
        qWarning().noquote() << host->log();
        return nullptr;
    }
    return host;
}

// Starts an agent and waits for its first election: it either listens or has
// found a listening plug-in.
AgentProcess *tst_RoadFaults::startAgent()
{
    agents.emplace_back(new AgentProcess(*sandbox));
    AgentProcess *agent = agents.back().get();
    const bool elected = agent->start()
        && QTest::qWaitFor([&] { return listens(agent) || agent->log().contains(peerFound); }, 10000);
    return elected ? agent : nullptr;
}

void tst_RoadFaults::insertCard(HostProcess *host, const QString &fifoName, const QString &number)
{
    QVERIFY2(host->insert(sandbox->path(fifoName), cardLine(number)), qPrintable(host->log()));
}

void tst_RoadFaults::expectTyped(const QString &before, const QString &number)
{
    // Anything typed after it shows in the next check, which starts from here.
    QTRY_COMPARE_WITH_TIMEOUT(typed().mid(before.size()), number, 10000);
}

void tst_RoadFaults::road_data()
{
    QTest::addColumn<bool>("pluginListens");
    // The agent came first and listens; the plug-in connects on its first card.
    QTest::addRow("agent listens") << false;
    // The host had a card before the agent ran: the plug-in listens and the
    // agent connects to it.
    QTest::addRow("plug-in listens") << true;
}

// A host on the FIFO "chunks" and an agent, linked in the given roles, with
// one card typed through them.
void tst_RoadFaults::buildRoad(bool pluginListens)
{
    HostProcess *host = nullptr;
    AgentProcess *agent = nullptr;
    if (pluginListens) {
        QVERIFY(host = startHost("chunks"));
        // Nobody to type it: lost, and the plug-in takes the name.
        insertCard(host, "chunks", "80756030000000000000");
        QVERIFY(logShows(host, "No peer."));
        QVERIFY(listens(host));
        QVERIFY(agent = startAgent());
        QVERIFY2(logShows(agent, peerFound), qPrintable(agent->log()));
        QVERIFY(!listens(agent));
    } else {
        QVERIFY(agent = startAgent());
        QVERIFY(listens(agent));
        QVERIFY(host = startHost("chunks"));
    }

    const QString before = typed();
    insertCard(host, "chunks", "80756030000000000001");
    expectTyped(before, "80756030000000000001");
    QVERIFY(logShows(host, peerFound));
    QVERIFY(logShows(agent, peerFound));
}

void tst_RoadFaults::agentKilledBetweenCards_data()
{
    road_data();
}

// The agent dies without a word and a new one starts before the next card:
// the plug-in's next election finds the new agent, whichever side listened.
void tst_RoadFaults::agentKilledBetweenCards()
{
    QFETCH(bool, pluginListens);
    buildRoad(pluginListens);
    if (QTest::currentTestFailed())
        return;
    HostProcess *host = hosts.front().get();

    const int hostMark = host->log().size();
    agents.front()->process.kill();
    QVERIFY(agents.front()->process.waitForFinished(10000));
    QVERIFY2(logShows(host, peerLost, hostMark), qPrintable(host->log()));

    AgentProcess *agent = startAgent();
    QVERIFY(agent);
    if (pluginListens) {
        // The plug-in still listens; the new agent connects to it.
        QVERIFY2(logShows(agent, peerFound), qPrintable(agent->log()));
        QVERIFY(logShows(host, peerFound, hostMark));
    } else {
        // The dead agent's socket file is cleared and taken over.
        QVERIFY(listens(agent));
    }

    const QString before = typed();
    insertCard(host, "chunks", "80756030000000000002");
    expectTyped(before, "80756030000000000002");
}

void tst_RoadFaults::hostKilledWhileAgentRuns_data()
{
    road_data();
}

// The host dies without a word: the agent keeps running (and listens, if the
// plug-in was the listener), and a new host's card is typed.
void tst_RoadFaults::hostKilledWhileAgentRuns()
{
    QFETCH(bool, pluginListens);
    buildRoad(pluginListens);
    if (QTest::currentTestFailed())
        return;
    AgentProcess *agent = agents.front().get();

    const int agentMark = agent->log().size();
    hosts.front()->process.kill();
    QVERIFY(hosts.front()->process.waitForFinished(10000));
    QVERIFY2(logShows(agent, peerLost, agentMark), qPrintable(agent->log()));
    // It listens: from its next election on if the plug-in listened, else still.
    QTRY_VERIFY_WITH_TIMEOUT(listens(agent), 10000);
    QCOMPARE(agent->process.state(), QProcess::Running);

    HostProcess *host = startHost("chunks");
    QVERIFY(host);
    const QString before = typed();
    insertCard(host, "chunks", "80756030000000000003");
    expectTyped(before, "80756030000000000003");
    QCOMPARE(agent->process.state(), QProcess::Running);
}

// The agent starts after the host has had a card: that card is lost, as the
// link has no queue; the next one is typed.
void tst_RoadFaults::agentStartedLate()
{
    HostProcess *host = startHost("chunks");
    QVERIFY(host);

    const QString before = typed();
    insertCard(host, "chunks", "80756040000000000001");
    QVERIFY(logShows(host, "No peer."));

    AgentProcess *agent = startAgent();
    QVERIFY(agent);
    QVERIFY2(logShows(agent, peerFound), qPrintable(agent->log()));
    QVERIFY(logShows(host, peerFound));

    insertCard(host, "chunks", "80756040000000000002");
    // Only the second number: the first is not typed late.
    expectTyped(before, "80756040000000000002");
}

// Two hosts, both with the plug-in, and one agent. The agent serves one link
// at a time: the host whose plug-in linked first has its cards typed. The
// other host's plug-in connects, is closed unread by the agent, and its card
// is lost (its log shows "Peer found." and at once "Peer lost."); it is never
// typed later. Once the first host has gone, the other host's next card links
// it and is typed. Nothing crashes.
void tst_RoadFaults::twoHosts()
{
    AgentProcess *agent = startAgent();
    QVERIFY(agent);
    HostProcess *first = startHost("first");
    HostProcess *second = startHost("second");
    QVERIFY(first && second);

    QString before = typed();
    insertCard(first, "first", "80756050000000000001");
    expectTyped(before, "80756050000000000001");

    before = typed();
    insertCard(second, "second", "80756050000000000002");
    // Closed by the agent at once.
    QVERIFY2(logShows(second, peerLost), qPrintable(second->log()));
    // The first host still has the link.
    insertCard(first, "first", "80756050000000000003");
    expectTyped(before, "80756050000000000003");

    const int agentMark = agent->log().size();
    before = typed();
    first->process.kill();
    QVERIFY(first->process.waitForFinished(10000));
    QVERIFY(logShows(agent, peerLost, agentMark));

    insertCard(second, "second", "80756050000000000004");
    expectTyped(before, "80756050000000000004");
    QCOMPARE(agent->process.state(), QProcess::Running);
    QCOMPARE(second->process.state(), QProcess::Running);
}

// Idle HTTP connections use up the host's descriptors: it stops accepting
// (rather than spinning or dying), a card is still typed, and HTTP is served
// again once the clients have gone.
void tst_RoadFaults::descriptorsExhausted()
{
    QVERIFY(startAgent());
    // The host raises its soft limit to the low hard limit.
    HostProcess *host = startHost("chunks", {"prlimit", "--nofile=32:64", "--"});
    QVERIFY(host);

    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 80; ++i) {
        idle.emplace_back(new QTcpSocket);
        idle.back()->connectToHost(QHostAddress::LocalHost, host->port);
    }
    QVERIFY2(logShows(host, "Out of file descriptors"), qPrintable(host->log()));
    const QDir descriptors(QString("/proc/%1/fd").arg(host->process.processId()), QString(), QDir::NoSort,
                           QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    QVERIFY2(descriptors.count() > 32, qPrintable(QString::number(descriptors.count())));

    const QString before = typed();
    insertCard(host, "chunks", "80756060000000000001");
    expectTyped(before, "80756060000000000001");

    const int mark = host->log().size();
    idle.clear();
    QVERIFY2(logShows(host, "Accepting connections again.", mark), qPrintable(host->log()));
    QCOMPARE(curl(QStringList{host->url("/system/info")}).status, 200);
}

QTEST_MAIN(tst_RoadFaults)
#include "tst_roadfaults.moc"
