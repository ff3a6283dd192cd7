#pragma once

#include <functional>

class QCoreApplication;

namespace veltor {
namespace system {

// Ends the event loop on SIGTERM and SIGINT, so that a program closes its
// sockets and finishes its log instead of dying where it stands. The signal
// handler only writes a byte into a socket pair; the rest runs on the event
// loop, where `onSignal` (if given, e.g. for a log line) runs before quit().
// Returns false when the signals cannot be watched, and always on Windows,
// which has no such signals.
bool quitOnTerminationSignals(QCoreApplication *app, std::function<void(int)> onSignal = {});

} // namespace system
} // namespace veltor
