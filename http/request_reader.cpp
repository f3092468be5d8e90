#include "http/request_reader.h"

#include "platform/text.h"

#include <cctype>
#include <cstdlib>

namespace tvn {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

} // namespace

CRequestReader::Outcome CRequestReader::Reject(int status) {
    rejectStatus = status;
    return Outcome::Reject;
}

CRequestReader::Outcome CRequestReader::Feed(std::string_view bytes, CRequest& request) {
    std::size_t pos = 0;
    while (state == State::ReadingRequestLine || state == State::ReadingHeaders) {
        if (pos >= bytes.size())
            return Outcome::NeedMore;
        // Take bytes up to the next LF into the line, dropping every CR.
        const auto lf = bytes.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        headBytes += end - pos + (lf == std::string_view::npos ? 0 : 1);
        if (headBytes > kMaxHeadBytes)
            return Reject(400);
        const std::string_view piece = bytes.substr(pos, end - pos);
        // A whole line that came in one piece, with no CR or only the last, is read where it
        // lies; only a line cut between reads, or with a CR inside, is put together.
        std::string_view text;
        if (line.empty() && lf != std::string_view::npos &&
            piece.find('\r') >= (piece.empty() ? 0 : piece.size() - 1)) {
            text = piece.ends_with('\r') ? piece.substr(0, piece.size() - 1) : piece;
        } else {
            for (const char c : piece) {
                if (c != '\r')
                    line.push_back(c);
            }
            text = line;
        }
        if (lf == std::string_view::npos)
            return Outcome::NeedMore;
        pos = lf + 1;
        if (text.empty()) {
            if (!RecordContentLength(request))
                return Outcome::Reject;
            state = State::RequestComplete;
            headEnd = pos;
            trailingBytes = pos < bytes.size() || request.contentLength > 0;
            return Outcome::Complete;
        }
        if (ConsumeLine(text, request) == Outcome::Reject)
            return Outcome::Reject;
        line.clear();
    }
    return Outcome::Complete;
}

CRequestReader::Outcome CRequestReader::ConsumeLine(std::string_view text, CRequest& request) {
    if (state == State::ReadingRequestLine) {
        state = State::ReadingHeaders; // header lines follow even without a version
        return ConsumeRequestLine(text, request);
    }
    ConsumeHeaderLine(text, request);
    return Outcome::NeedMore;
}

CRequestReader::Outcome CRequestReader::ConsumeRequestLine(std::string_view text,
                                                           CRequest& request) {
    const auto space = text.find(' ');
    if (space == std::string_view::npos)
        return Outcome::NeedMore; // nothing recorded: the empty method is answered with 501
    request.method = text.substr(0, space);
    const std::string_view rest = TrimLeft(text.substr(space + 1));
    std::string_view target;
    const auto space2 = rest.find(' ');
    if (space2 != std::string_view::npos) {
        target = rest.substr(0, space2);
        request.version = TrimLeft(rest.substr(space2 + 1));
    } else {
        target = TrimRight(rest);
    }
    const auto question = target.find('?');
    if (question != std::string_view::npos) {
        request.query = target.substr(question + 1);
        target = target.substr(0, question);
        if (!ParseQueryString(request.query, request.params))
            return Reject(400);
    }
    auto decoded = DecodeUrl(target, false);
    if (!decoded)
        return Reject(400);
    request.url = std::move(*decoded);
    return Outcome::NeedMore;
}

void CRequestReader::ConsumeHeaderLine(std::string_view text, CRequest& request) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return;
    request.headers[text.substr(0, colon)] = TrimLeft(text.substr(colon + 1));
}

bool CRequestReader::RecordContentLength(CRequest& request) {
    const std::string& value = request.Header("content-length");
    const long long length = value.empty() ? 0 : std::strtoll(value.c_str(), nullptr, 10);
    // A piece of a resumable upload may be as long as a file sent whole.
    const bool upload =
        EqualsNoCase(request.method, "PUT") ||
        (EqualsNoCase(request.method, "PATCH") && request.headers.count("tus-resumable") > 0);
    const long long limit = upload ? kMaxUploadBytes : kMaxBodyBytes;
    // A negative or unreadable length is a request without body.
    request.contentLength = length > 0 && length <= limit ? length : 0;
    if (length > limit) {
        rejectStatus = upload ? 413 : 400;
        return false;
    }
    return true;
}

} // namespace tvn
