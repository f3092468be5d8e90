// Linked into a program (the tests), the X clients are used from the start and the module is
// never looked for.
#include "platform/x11_services.h"

namespace {

const bool linkedIn = (tvn::X11Module().Use(TvnX11Services()), true);

} // namespace
