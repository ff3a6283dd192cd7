#include "otheruser.h"

#include <QFile>
#include <QFileInfo>

namespace {

const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
    | QFile::ReadOther | QFile::ExeOther;

} // namespace

StagedProgram::StagedProgram(const QString &program)
    : dir(QStringLiteral("/tmp/kavo-staged-XXXXXX"))
{
    const QString target = dir.filePath(QFileInfo(program).fileName());
    if (dir.isValid() && QFile::setPermissions(dir.path(), everyone) && QFile::copy(program, target)
        && QFile::setPermissions(target, everyone))
        copy = target;
}

QStringList setprivAs(const QString &user, const QString &group)
{
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=") + user, QStringLiteral("--regid=") + group,
            QStringLiteral("--clear-groups")};
}
