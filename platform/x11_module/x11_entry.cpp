// The entry point of the X module (tarvolin-x11.so): the table of its clients.
#include "platform/x11_module/x11_clients.h"
#include "platform/x11_services.h"

namespace tvn::x11 {
namespace {

constexpr X11Services kServices{CaptureScreen, InjectKeyInto};

} // namespace
} // namespace tvn::x11

extern "C" const tvn::X11Services* TvnX11Services() { return &tvn::x11::kServices; }
