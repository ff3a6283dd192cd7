#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A copy of a program of this build for a test that runs it as another user,
// who may not be let into the build folder (a clone under /root, mode 0700):
// in a folder below /tmp that every user may enter, removed with this object.
class StagedProgram
{
public:
    explicit StagedProgram(const QString &program);
    bool isValid() const { return !copy.isEmpty(); }
    QString path() const { return copy; }
    // The folder, open to every user, for anything else such a test shares.
    QString folder() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QString copy;
};

// A command that runs what follows it as user and group, without the caller's
// other groups.
QStringList setprivAs(const QString &user, const QString &group);
