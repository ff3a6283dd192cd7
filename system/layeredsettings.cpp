#include "layeredsettings.h"

#include "applicationpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryFile>

namespace veltor {
namespace system {

namespace {

void mergeInto(QMap<QString, QVariant> &values, const QSettings &settings)
{
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
}

// Settings files are small; a larger one is not read at all.
constexpr qint64 maxFileSize = 1 << 20;

// QSettings keeps every file it parsed for the life of the process and takes
// it for unchanged while its size and time stamp are, so a rewrite within one
// time-stamp tick would go unseen. A private copy under a fresh name is always
// parsed anew.
void mergeFile(QMap<QString, QVariant> &values, const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxFileSize)
        return;
    const QByteArray contents = file.read(maxFileSize);
    QTemporaryFile copy;
    if (!copy.open() || copy.write(contents) != contents.size() || !copy.flush())
        return;
    mergeInto(values, QSettings(copy.fileName(), QSettings::IniFormat));
}

void mergeScope(QMap<QString, QVariant> &values, QSettings::Scope scope,
                const QString &organization, const QString &name)
{
    // Only the one file of the scope: the user scope's fallbacks (machine-wide
    // and organisation-wide files) would put a machine-wide key above the
    // configuration directory read before it.
    mergeFile(values, QSettings(QSettings::IniFormat, scope, organization, name).fileName());
}

} // namespace

LayeredSettings::LayeredSettings(const QString &organization, const QString &name, SettingsSource sources)
{
    const QString fileName = name + QLatin1String(".ini");

    // Fixed order of rising precedence, independent of the flag values.
    if (sources.testFlag(ApplicationDirectory))
        mergeFile(values, QDir(QCoreApplication::applicationDirPath()).filePath(fileName));
    if (sources.testFlag(SystemScope))
        mergeScope(values, QSettings::SystemScope, organization, name);
    if (sources.testFlag(ConfigurationDirectory))
        mergeFile(values, ApplicationPaths::path(ApplicationPaths::System, ApplicationPaths::Configuration)
                                  .filePath(fileName));
    if (sources.testFlag(UserScope))
        mergeScope(values, QSettings::UserScope, organization, name);
}

QVariant LayeredSettings::value(const QString &key) const
{
    return values.value(key);
}

} // namespace system
} // namespace veltor
