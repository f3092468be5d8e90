// The response vocabulary: every answer is written into the output buffer with these.
#include "http/http_date.h"
#include "http/mime_table.h"
#include "http/request_context.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <cstdio>

namespace tvn {

void CRequestContext::PutResourceText(StringId id) { PutText(LoadString(id)); }

void CRequestContext::PutStatus(HttpStatus status) {
    request.status = status;
    PutText("HTTP/1.0 ");
    PutText(LoadString(status));
    PutText("\r\n");
    const std::string& server = LoadString(StringId::kServerHeader);
    if (!server.empty())
        PutHeader("Server", server);
    PutHeader("Date", FormatHttpDateNow());
}

void CRequestContext::PutHeader(std::string_view name, std::string_view value) {
    PutText(name);
    PutText(": ");
    PutText(value);
    PutText("\r\n");
}

void CRequestContext::PutHeaderNumber(std::string_view name, long long value) {
    char number[24];
    const int length = std::snprintf(number, sizeof number, "%lld", value);
    PutHeader(name, std::string_view(number, static_cast<std::size_t>(length)));
}

void CRequestContext::PutErrorResponse(HttpStatus status) {
    PutStatus(status);
    PutText("\r\n");
    PutText(LoadString(status));
}

void CRequestContext::PutContentType() {
    if (IsPageFile()) {
        // A text page too large to frame goes out as it is: as text, never as HTML.
        const bool unframedText = file.IsOpen() && file.size > kMaxFramedPage &&
                                  EndsWithNoCase(request.localPath, ".txt");
        PutHeader("Content-Type", unframedText ? "text/plain; charset=utf-8" : "text/html");
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
        PutHeader("Content-Type", withCharset);
        return;
    }
    PutHeader("Content-Type", type);
}

} // namespace tvn
