// The location service of the relay as servers and pages on the Internet use it: a run of
// reports and questions, one a line ("u" or "r", then the query text), with the clock moving
// on by the minutes the line's second byte tells.
#include "fuzz/fuzz_check.h"
#include "tools/relay/location_book.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using tvn::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tvn::relay;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    CLocationBook book;
    Millis now{1'700'000'000'000};
    while (!input.empty()) {
        const auto end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        if (line.size() < 2)
            continue;
        const char kind = line[0];
        now += Millis{static_cast<unsigned char>(line[1]) * 60'000LL};
        line.remove_prefix(2);

        (void)ParseQuery(line);
        (void)JavaScriptString(line);
        if (kind == 'u') {
            const CLocationBook::Answer answer = book.Update(line, now);
            Check(answer.status == 200 || answer.status == 400);
        } else {
            const CLocationBook::Answer answer = book.Request(line, now);
            Check(answer.status == 200 || answer.status == 400);
            // The answer is a script: no text from a report may end it.
            if (answer.status == 200)
                Check(answer.body.find('<') == std::string::npos);
        }
        Check(book.Size() <= CLocationBook::kMaxServers);
    }
    return 0;
}
