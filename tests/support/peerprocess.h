#pragma once

#include <QProcess>
#include <QStringList>

// The stand-in for the other end of a peer link (kavo-test-peer, see there
// for its commands): by default with the identity of the link between plug-in
// and agent, so that it plays either of them. Started at once.
class PeerProcess
{
public:
    // command: the program, or a launcher that runs it (as another user);
    // env: empty for the test's own environment.
    explicit PeerProcess(const QStringList &identity = {}, const QStringList &command = {},
                         const QProcessEnvironment &env = {});
    ~PeerProcess();

    void command(const QByteArray &line);
    bool waitForLine(const QString &line, int timeoutMs = 10000);
    // As the plug-in sends: elects until the other end takes the text.
    bool deliver(const QString &text);
    // The peer's log lines, as "<level> <message>".
    QStringList log() const;
    // Everything received so far.
    QByteArray received() const;

    static QString program();

    QProcess process;
    QStringList lines;
};
