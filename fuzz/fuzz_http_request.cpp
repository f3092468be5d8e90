// The head of an HTTP request as a visitor sends it, in pieces of any size: the request reader,
// then the percent-decoding and the query parameters it uses, on the same bytes.
#include "fuzz/fuzz_check.h"
#include "http/request.h"
#include "http/request_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

namespace {

using tvn::fuzz::Check;

// A decoded text never holds a NUL byte: it would cut every later use short. With
// FUZZ_ALLOW_RAW_NUL=1 in the environment inputs holding a NUL byte are not checked for it
// (a switch from before such bytes were refused; fuzz/README.md).
bool NulChecked(std::string_view input) {
    static const bool allowRaw = [] {
        const char* value = std::getenv("FUZZ_ALLOW_RAW_NUL");
        return value != nullptr && std::string_view(value) == "1";
    }();
    return !allowRaw || input.find('\0') == std::string_view::npos;
}

void Decode(std::string_view text) {
    for (const bool plusToSpace : {false, true}) {
        const auto decoded = tvn::DecodeUrl(text, plusToSpace);
        if (!decoded)
            continue;
        Check(decoded->size() <= text.size());
        if (NulChecked(text))
            Check(decoded->find('\0') == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte sets the size of the pieces the connection delivers (1 to 256 bytes).
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    tvn::CRequest request;
    tvn::CRequestReader reader;
    auto outcome = tvn::CRequestReader::Outcome::NeedMore;
    for (std::size_t at = 0; at < bytes.size() && outcome == tvn::CRequestReader::Outcome::NeedMore;
         at += piece)
        outcome = reader.Feed(bytes.substr(at, piece), request);
    switch (outcome) {
    case tvn::CRequestReader::Outcome::NeedMore:
        Check(reader.GetState() != tvn::CRequestReader::State::RequestComplete);
        break;
    case tvn::CRequestReader::Outcome::Complete:
        Check(reader.GetState() == tvn::CRequestReader::State::RequestComplete);
        Check(request.contentLength >= 0 &&
              request.contentLength <= (request.method == "PUT"
                                            ? tvn::CRequestReader::kMaxUploadBytes
                                            : tvn::CRequestReader::kMaxBodyBytes));
        if (NulChecked(bytes))
            Check(request.url.find('\0') == std::string::npos);
        (void)request.Header("Host");
        (void)request.Param("a");
        break;
    case tvn::CRequestReader::Outcome::Reject:
        Check(reader.RejectStatus() >= 400);
        break;
    }

    Decode(bytes);
    std::map<std::string, std::string> params;
    if (tvn::ParseQueryString(bytes, params)) {
        for (const auto& [name, value] : params) {
            if (NulChecked(bytes))
                Check(value.find('\0') == std::string::npos);
        }
    }
    return 0;
}
