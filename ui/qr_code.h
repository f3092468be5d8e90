#pragma once

#include "shell/qr_symbol.h"

#include <QImage>
#include <string>

namespace tvn::ui {

using tvn::AccessAddress;

// `text` as a QR code (error correction M): black modules of `scale` pixels on white with a
// quiet zone of four modules. A null image for an empty text or one too long to encode.
QImage QrCodeImage(const std::string& text, int scale);

} // namespace tvn::ui
