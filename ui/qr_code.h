#pragma once

#include <QImage>
#include <string>
#include <string_view>

namespace tvn::ui {

// The address of an access-information line: its first word when that begins with
// "http://" or "https://" ("http://192.168.1.5:8080 (LAN only)" gives
// "http://192.168.1.5:8080"); empty when the line has none ("The Server is stopped").
std::string AccessAddress(std::string_view line);

// `text` as a QR code (error correction M): black modules of `scale` pixels on white with a
// quiet zone of four modules. A null image for an empty text or one too long to encode.
QImage QrCodeImage(const std::string& text, int scale);

} // namespace tvn::ui
