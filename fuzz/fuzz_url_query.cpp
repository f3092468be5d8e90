// Percent-decoding and the query parameters on their own: any bytes as an encoded text, and
// any bytes encoded by us and decoded again, which must give them back.
#include "fuzz/fuzz_check.h"
#include "http/request.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

namespace {

using tvn::fuzz::Check;

// Every byte as "%XX", as a browser may send any byte.
std::string EncodeAll(std::string_view bytes) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back('%');
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
    }
    return out;
}

void DecodeHostile(std::string_view text) {
    for (const bool plusToSpace : {false, true}) {
        const auto decoded = tvn::DecodeUrl(text, plusToSpace);
        if (!decoded)
            continue;
        Check(decoded->size() <= text.size());
        Check(decoded->find('\0') == std::string::npos);
        if (text.find('%') == std::string_view::npos)
            Check(plusToSpace || *decoded == text); // nothing to decode: the text itself
    }
}

void RoundTrip(std::string_view bytes) {
    const bool hasNul = bytes.find('\0') != std::string_view::npos;
    for (const bool plusToSpace : {false, true}) {
        const auto decoded = tvn::DecodeUrl(EncodeAll(bytes), plusToSpace);
        Check(decoded.has_value() != hasNul);
        if (decoded)
            Check(*decoded == bytes);
    }
    // A name without '=' and '&' and an encoded value read back as one parameter.
    std::string name;
    for (const char c : bytes.substr(0, bytes.size() / 2)) {
        if (c != '=' && c != '&')
            name.push_back(c);
    }
    const std::string_view value = bytes.substr(bytes.size() / 2);
    std::map<std::string, std::string> params;
    const bool parsed = tvn::ParseQueryString(name + "=" + EncodeAll(value) + "&", params);
    Check(parsed == (value.find('\0') == std::string_view::npos));
    if (parsed)
        Check(params.size() == 1 && params[name] == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    DecodeHostile(bytes);
    RoundTrip(bytes);

    std::map<std::string, std::string> params;
    if (tvn::ParseQueryString(bytes, params)) {
        for (const auto& [name, value] : params) {
            Check(name.find('=') == std::string::npos);
            Check(value.find('\0') == std::string::npos);
        }
    }
    return 0;
}
