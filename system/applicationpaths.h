#pragma once

#include <QDir>

namespace veltor {
namespace system {

// Where the running application keeps each kind of file, for the current user or
// for every user of the machine.
//
// An INI file named after the application (QCoreApplication::applicationName()
// plus ".ini") in the current directory may name a directory per location, e.g.
//   [ch.veltor.system]
//   path.logging=/srv/kavo/logs
// Such a value is used verbatim (a warning is logged if it is not an existing
// directory). Otherwise the directory is <base>/<organisation>/<application>/<word>,
// with the word "configuration", "logging", "runtime" or "update".
//
// The base is %APPDATA% for User and %ALLUSERSPROFILE% for System. On Windows
// that is all. Elsewhere the variables still win when set and not empty, but
// when they are not, User falls back to the XDG data home ($XDG_DATA_HOME, or
// $HOME/.local/share) and System to /var/lib, so that the folders never end up
// at the root of the file system.
//
// Nothing is cached and no directory is created: callers create what they need.
class ApplicationPaths
{
public:
    // A fixed underlying type keeps any value a caller casts in well-defined, so it
    // can be rejected with an exception.
    enum Scope : int {
        User = 0,
        System = 1,
    };

    enum Location : int {
        Configuration = 0,
        Logging = 1,
        Runtime = 2,
        Update = 3,
    };

    // Both throw std::runtime_error for a location outside the enumeration;
    // path() checks the scope only when no override applies.
    static QDir path(Scope scope, Location location);
    static QDir defaultPath(Scope scope, Location location);

    ApplicationPaths() = delete;
};

} // namespace system
} // namespace veltor
