#pragma once

#include <QFlags>
#include <QMap>
#include <QString>
#include <QVariant>

namespace veltor {
namespace system {

enum SettingsSourceFlag {
    // <name>.ini next to the running executable
    ApplicationDirectory = 1,
    // <name>.ini in ApplicationPaths::path(System, Configuration)
    ConfigurationDirectory = 2,
    // the INI file QSettings assigns to the system scope
    SystemScope = 4,
    // the INI file QSettings assigns to the user scope
    UserScope = 8,
    AllSources = ApplicationDirectory | ConfigurationDirectory | SystemScope | UserScope
};
Q_DECLARE_FLAGS(SettingsSource, SettingsSourceFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(SettingsSource)

// One application's settings merged from up to four INI files, read once at
// construction. Precedence rises in the order: next to the executable,
// machine-wide, configuration directory, user; a later file overrides an
// earlier one key by key. The flag values do not give that order.
class LayeredSettings
{
public:
    LayeredSettings(const QString &organization, const QString &name, SettingsSource sources);

    // The merged value, or an invalid QVariant when no chosen source has the key.
    QVariant value(const QString &key) const;

private:
    QMap<QString, QVariant> values;
};

} // namespace system
} // namespace veltor
