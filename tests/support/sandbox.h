#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A private corner of the file system for one test and the programs it runs:
// HOME and the XDG folders (the host's user-scope INI lives in
// XDG_CONFIG_HOME, the peer link's socket in XDG_RUNTIME_DIR), TMPDIR and
// ALLUSERSPROFILE, so that no socket, log or setting of the machine or of
// another test is used. Folders: home, config, data, cache, runtime (mode
// 0700), tmp, programdata, and agent, the user agent's working folder.
class Sandbox
{
public:
    Sandbox();

    QString path(const QString &name) const { return root.filePath(name); }
    // The link between plug-in and agent: its socket is there while one of them listens.
    QString linkSocket() const;
    // The user-scope settings file of an application of organisation "Veltor".
    QString userIni(const QString &application) const;
    QString agentLogFile() const;
    bool makeFifo(const QString &name) const;

    // Puts the test's own process in the sandbox, for product code run in it:
    // the environment above, QSettings' INI folders and the current folder
    // (where the application paths look for their override file).
    void enter() const;

    // For the programs the test starts; each takes a copy when made.
    QProcessEnvironment env;

private:
    // Short: a socket's path must fit the 108 bytes of sockaddr_un.
    QTemporaryDir root;
};

QString readTextFile(const QString &name);

// Whether process pid listens on the local socket at path: what the kernel
// tells (/proc), not what anyone logged.
bool listensOn(qint64 pid, const QString &path);
