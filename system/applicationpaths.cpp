#include "applicationpaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcessEnvironment>
#include <QSettings>

#include <stdexcept>

Q_LOGGING_CATEGORY(lcPaths, "ch.veltor.system.applicationpaths")

namespace veltor {
namespace system {

namespace {

const QString userBaseVariable = QStringLiteral("APPDATA");
const QString systemBaseVariable = QStringLiteral("ALLUSERSPROFILE");

[[noreturn]] void throwInvalidLocation()
{
    throw std::runtime_error("Invalid location has been given while requesting an application's path.");
}

[[noreturn]] void throwInvalidScope()
{
    throw std::runtime_error("Invalid scope has been given while requesting an application's path.");
}

QString overrideKey(ApplicationPaths::Location location)
{
    switch (location) {
    case ApplicationPaths::Configuration:
        return QStringLiteral("ch.veltor.system/path.configuration");
    case ApplicationPaths::Logging:
        return QStringLiteral("ch.veltor.system/path.logging");
    case ApplicationPaths::Runtime:
        return QStringLiteral("ch.veltor.system/path.runtime");
    case ApplicationPaths::Update:
        return QStringLiteral("ch.veltor.system/path.update");
    }
    throwInvalidLocation();
}

QString directoryWord(ApplicationPaths::Location location)
{
    switch (location) {
    case ApplicationPaths::Configuration:
        return QStringLiteral("configuration");
    case ApplicationPaths::Logging:
        return QStringLiteral("logging");
    case ApplicationPaths::Runtime:
        return QStringLiteral("runtime");
    case ApplicationPaths::Update:
        return QStringLiteral("update");
    }
    throwInvalidLocation();
}

QString baseDirectory(ApplicationPaths::Scope scope, const QProcessEnvironment &environment)
{
    switch (scope) {
    case ApplicationPaths::User: {
        const QString base = environment.value(userBaseVariable);
#ifndef Q_OS_WIN
        if (base.isEmpty()) {
            const QString dataHome = environment.value(QStringLiteral("XDG_DATA_HOME"));
            // The XDG rules ignore a relative data home.
            if (!dataHome.isEmpty() && QDir::isAbsolutePath(dataHome))
                return dataHome;
            return QDir::homePath() + QStringLiteral("/.local/share");
        }
#endif
        return base;
    }
    case ApplicationPaths::System: {
        const QString base = environment.value(systemBaseVariable);
#ifndef Q_OS_WIN
        if (base.isEmpty())
            return QStringLiteral("/var/lib");
#endif
        return base;
    }
    }
    throwInvalidScope();
}

} // namespace

QDir ApplicationPaths::path(Scope scope, Location location)
{
    // The location is checked before the file is read; the scope only if it is needed.
    const QString key = overrideKey(location);
    const QSettings overrides(QCoreApplication::applicationName() + QStringLiteral(".ini"), QSettings::IniFormat);
    const QVariant value = overrides.value(key);
    if (value.isValid() && !value.isNull() && !value.toString().isEmpty()) {
        const QString configured = value.toString();
        if (!QFileInfo(configured).isDir())
            qCWarning(lcPaths, "Configured path for location does not exist.");
        return QDir(configured);
    }
    return defaultPath(scope, location);
}

QDir ApplicationPaths::defaultPath(Scope scope, Location location)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString base = baseDirectory(scope, environment);
    const QString separator = QDir::separator();
    return QDir(base + separator + QCoreApplication::organizationName() + separator
                + QCoreApplication::applicationName() + separator + directoryWord(location));
}

} // namespace system
} // namespace veltor
