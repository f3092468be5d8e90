#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// A QR code symbol: `width` × `width` modules, row by row, true for dark. Empty (width 0) when
// the text was empty or too long to encode.
struct QrSymbol {
    int width = 0;
    std::vector<bool> dark;
    bool Dark(int x, int y) const { return dark[static_cast<std::size_t>(y * width + x)]; }
};

// The standard asks for four light modules around the symbol; fewer and phone cameras miss it.
inline constexpr int kQrQuietModules = 4;

// `text` as a QR code with error correction M, byte for byte (a URL's path may hold any byte).
QrSymbol EncodeQr(const std::string& text);

// The address of an access-information line: its first word when that begins with "http://"
// or "https://" ("http://192.168.1.5:8080 (LAN only)" gives "http://192.168.1.5:8080"); empty
// when the line has none ("The Server is stopped").
std::string AccessAddress(std::string_view line);

// `symbol` for a terminal: two module rows per text line drawn with the half blocks "▀", "▄"
// and "█" in the terminal's colours, dark modules light (the usual light-on-dark terminal
// inverts them back for the camera), inside its quiet zone. Empty for an empty symbol.
std::string TerminalQrCode(const QrSymbol& symbol);

// The headless program's QR code: writes the code of the address of `line` to `out` when it
// differs from `lastAddress` (which it then becomes). Lines without an address and the line
// of the last blog post leave both alone. True when a code was written.
bool WriteAccessQrCode(std::ostream& out, std::string_view line, std::string& lastAddress);

} // namespace tvn
