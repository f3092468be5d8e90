// The Content-Type of a file target.
#include "http/mime_table.h"
#include "http/request_context.h"
#include "platform/text.h"

namespace tvn {

void CRequestContext::AddContentType() {
    if (IsPageFile()) {
        // A text page too large to frame goes out as it is: as text, never as HTML.
        const bool unframedText = target.IsOpen() && target.size > kMaxFramedPage &&
                                  EndsWithNoCase(request.localPath, ".txt");
        answer.AddHeader("Content-Type", unframedText ? "text/plain; charset=utf-8" : "text/html");
        return;
    }
    const std::string& path = request.localPath;
    const auto dot = path.rfind('.');
    const std::string_view ext =
        dot == std::string::npos ? std::string_view(path) : std::string_view(path).substr(dot);
    const std::string_view type = ContentTypeForExtension(ext);
    if (type.empty())
        return;
    // Text is written on this platform in UTF-8: without a charset a browser guesses, and
    // guesses a legacy code page.
    if (type.starts_with("text/") && type.find(';') == std::string_view::npos) {
        std::string withCharset(type);
        withCharset.append("; charset=utf-8");
        answer.AddHeader("Content-Type", withCharset);
        return;
    }
    answer.AddHeader("Content-Type", type);
}

} // namespace tvn
