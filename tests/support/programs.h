#pragma once

#include "sandbox.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <csignal>

// A program of this build run in a sandbox the way its users run it. Its
// console (both channels) is collected; at the end it is killed if still running.
class ProgramProcess
{
public:
    ProgramProcess(const Sandbox &sandbox, const QString &program, const QString &workDir);
    ~ProgramProcess();

    // Runs launcher + program + arguments (a launcher such as setpriv or prlimit
    // execs what follows, so that the process is the program itself).
    bool start(const QStringList &arguments = {}, const QStringList &launcher = {});
    // Runs it to its end: its exit code, -1 if it crashed or took over 10 s.
    int run(const QStringList &arguments);
    // Ends it the way a service manager would and waits for it.
    bool stop(int signalNumber = SIGTERM);
    QString log();

    QString program;
    QProcessEnvironment env; // the sandbox's, until start()
    QProcess process;

private:
    QString output;
};

// kavo-user-agent, in the sandbox's folder "agent".
class AgentProcess : public ProgramProcess
{
public:
    explicit AgentProcess(const Sandbox &sandbox);
    // Sends text as the plug-in does, through the stand-in for the plug-in
    // with the agent's environment; true once the agent took it.
    bool send(const QString &text) const;
};

// kavo-service with the real plug-in on a free port of 127.0.0.1, in the
// sandbox's folder "home"; the machine's card readers stay out unless asked for.
class HostProcess : public ProgramProcess
{
public:
    explicit HostProcess(const Sandbox &sandbox);
    // Starts it and waits until it listens.
    bool start(const QStringList &arguments, const QStringList &launcher = {});
    // Writes lines into the FIFO and waits until the host has handled them:
    // it reads in order, and a line that is not an object follows them.
    bool insert(const QString &fifo, const QByteArray &lines);
    QString url(const QString &path) const;

    quint16 port = 0;
    bool cardReaders = false;
};

struct HttpReply
{
    int status = -1;
    QByteArray body;
};

// Fetches with curl, as a user would; proxies from the environment are ignored.
HttpReply curl(const QStringList &arguments);
