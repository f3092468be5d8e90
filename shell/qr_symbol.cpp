#include "shell/qr_symbol.h"

#include <memory>
#include <ostream>
#include <qrencode.h>

namespace tvn {
namespace {

struct QrFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

constexpr std::string_view kLastPostSuffix = " Last blog post";

} // namespace

QrSymbol EncodeQr(const std::string& text) {
    QrSymbol symbol;
    if (text.empty())
        return symbol;
    const std::unique_ptr<QRcode, QrFree> code(
        QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M));
    if (!code)
        return symbol;
    symbol.width = code->width;
    symbol.dark.resize(static_cast<std::size_t>(code->width) * code->width);
    // Bit 0 of each byte of the symbol is the module: 1 dark, 0 light.
    for (std::size_t i = 0; i < symbol.dark.size(); ++i)
        symbol.dark[i] = (code->data[i] & 1) != 0;
    return symbol;
}

std::string AccessAddress(std::string_view line) {
    const std::size_t end = line.find_first_of(" \t\r\n");
    const std::string_view word = line.substr(0, end);
    if (word.starts_with("http://") || word.starts_with("https://"))
        return std::string(word);
    return {};
}

std::string TerminalQrCode(const QrSymbol& symbol) {
    if (symbol.width == 0)
        return {};
    const int side = symbol.width + 2 * kQrQuietModules;
    // Light on the terminal means a module drawn with a block: the quiet zone and the light
    // modules are blocks, the dark modules are blanks.
    const auto light = [&](int x, int y) {
        x -= kQrQuietModules;
        y -= kQrQuietModules;
        const bool inside = x >= 0 && y >= 0 && x < symbol.width && y < symbol.width;
        return !inside || !symbol.Dark(x, y);
    };
    std::string text;
    for (int y = 0; y < side; y += 2) {
        for (int x = 0; x < side; ++x) {
            const bool top = light(x, y);
            const bool bottom = y + 1 < side ? light(x, y + 1) : false;
            text += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        text += '\n';
    }
    return text;
}

bool WriteAccessQrCode(std::ostream& out, std::string_view line, std::string& lastAddress) {
    if (line.ends_with(kLastPostSuffix))
        return false;
    std::string address = AccessAddress(line);
    if (address.empty() || address == lastAddress)
        return false;
    const std::string code = TerminalQrCode(EncodeQr(address));
    if (code.empty())
        return false;
    lastAddress = std::move(address);
    out << code << std::flush;
    return true;
}

} // namespace tvn
