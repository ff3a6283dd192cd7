#include "layeredsettings.h"

#include "applicationpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

namespace veltor {
namespace system {

namespace {

void mergeInto(QMap<QString, QVariant> &values, const QSettings &settings)
{
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
}

void mergeFile(QMap<QString, QVariant> &values, const QString &fileName)
{
    mergeInto(values, QSettings(fileName, QSettings::IniFormat));
}

void mergeScope(QMap<QString, QVariant> &values, QSettings::Scope scope,
                const QString &organization, const QString &name)
{
    QSettings settings(QSettings::IniFormat, scope, organization, name);
    // Only the one file of the scope: with fallbacks the user scope would also
    // report the machine-wide and organisation-wide files, and a machine-wide
    // key would then override the configuration directory read before it.
    settings.setFallbacksEnabled(false);
    mergeInto(values, settings);
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
