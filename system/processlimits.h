#pragma once

namespace veltor {
namespace system {

// Raises the soft limit of open descriptors to the hard limit, so that a
// server runs out of them as late as the system allows. Returns false when the
// limit could not be read or raised; always true where there is no such limit.
bool raiseDescriptorLimit();

} // namespace system
} // namespace veltor
