#pragma once

namespace tvn {

// Raises this process's soft limit of open descriptors to its hard limit (at most 1 << 20),
// so that a few hundred connections do not exhaust the 1024 a session starts with. Returns
// the soft limit now in force, or -1 when it cannot be read.
long RaiseDescriptorLimit();

} // namespace tvn
