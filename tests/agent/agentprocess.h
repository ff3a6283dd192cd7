#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

// The real kavo-user-agent in a sandbox of its own: a working directory, an
// ALLUSERSPROFILE folder, a private TMPDIR and a private XDG_RUNTIME_DIR (where
// the local socket lives, so that agents of tests running side by side never meet).
class AgentProcess
{
public:
    AgentProcess()
    {
        QDir(root.path()).mkpath("work");
        QDir(root.path()).mkpath("tmp");
        QDir(root.path()).mkpath("runtime");
        QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env = QProcessEnvironment::systemEnvironment();
        env.insert("ALLUSERSPROFILE", programData());
        env.insert("TMPDIR", tmpDir());
        env.insert("XDG_RUNTIME_DIR", runtimeDir());
        env.insert("LC_ALL", "C.UTF-8"); // the link carries the 8-bit code page
        env.remove("QT_LOGGING_RULES");
        env.remove("QT_MESSAGE_PATTERN");
        process.setWorkingDirectory(workDir());
        process.setProcessChannelMode(QProcess::SeparateChannels);
    }

    ~AgentProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString workDir() const { return root.filePath("work"); }
    QString programData() const { return root.filePath("programdata"); }
    QString tmpDir() const { return root.filePath("tmp"); }
    QString runtimeDir() const { return root.filePath("runtime"); }
    // The link's socket, there while the agent listens.
    QString socketPath() const { return runtimeDir() + "/d33ed4a54483b2efead5860f937e2dd5088ab1fbdbe70ba03b036ad7d805fa11"; }
    QString defaultLogFile() const
    {
        return programData() + "/Veltor/Kavo-User-Agent/logging/Kavo-User-Agent.log";
    }

    bool start(const QStringList &arguments = {})
    {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KAVO_USER_AGENT), arguments);
        return process.waitForStarted(10000);
    }

    // Ends the agent the way a service manager would and waits for it.
    bool stop(int signalNumber = SIGTERM)
    {
        ::kill(pid_t(process.processId()), signalNumber);
        return process.waitForFinished(10000);
    }

    QString console()
    {
        consoleText += QString::fromUtf8(process.readAllStandardError());
        return consoleText;
    }

    // Runs the stand-in for the plug-in with the agent's environment.
    int send(const QString &text, QString *output = nullptr)
    {
        QProcess sender;
        sender.setProcessEnvironment(env);
        sender.setProcessChannelMode(QProcess::MergedChannels);
        sender.start(QStringLiteral(KAVO_PEER_SENDER), QStringList{text});
        if (!sender.waitForFinished(20000))
            return -1;
        if (output)
            *output = QString::fromUtf8(sender.readAll());
        return sender.exitStatus() == QProcess::NormalExit ? sender.exitCode() : -1;
    }

    static QString readFile(const QString &name)
    {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir root;
    QProcessEnvironment env;
    QProcess process;

private:
    QString consoleText;
};
