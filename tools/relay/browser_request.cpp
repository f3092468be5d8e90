#include "tools/relay/browser_request.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace tvn::relay {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

std::string_view Trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The next line of `rest` without its CR LF; `rest` moves past it. Nothing when no LF is
// left.
std::optional<std::string_view> NextLine(std::string_view& rest) {
    const auto end = rest.find('\n');
    if (end == std::string_view::npos)
        return std::nullopt;
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

struct Head {
    std::string host;
    bool hasHost = false;
    std::optional<std::size_t> contentLength;
    bool chunked = false;
    int reject = 0;
};

// Takes one header line into `head`; sets head.reject for one that cannot be forwarded.
void TakeHeader(std::string_view line, Head& head) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return; // the server decides what a malformed header means
    const std::string name = Lower(Trim(line.substr(0, colon)));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (name == "host") {
        // Two Host headers could send the relay and the server to different sites.
        if (head.hasHost)
            head.reject = 400;
        head.hasHost = true;
        head.host = HostWithoutPort(value);
    } else if (name == "content-length") {
        std::size_t length = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
        if (ec != std::errc() || end != value.data() + value.size() || value.empty() ||
            (head.contentLength && *head.contentLength != length))
            head.reject = 400;
        head.contentLength = length;
    } else if (name == "transfer-encoding") {
        head.chunked = true;
    }
}

// The path and the query of the request target at the start of `rest`.
void TakeTarget(std::string_view rest, BrowserRequest& result) {
    const std::string_view target = rest.substr(0, rest.find(' '));
    const auto mark = target.find('?');
    result.path = target.substr(0, mark);
    if (mark != std::string_view::npos)
        result.query = target.substr(mark + 1);
}

std::string_view Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Request Entity Too Large";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Error";
    }
}

} // namespace

std::string AnswerPage(int status, std::string_view explanation, bool withBody) {
    const std::string title = std::to_string(status) + " " + std::string(Reason(status));
    const std::string body = "<html><head><title>" + title + "</title></head><body><h1>" + title +
                             "</h1><p>" + std::string(explanation) + "</p></body></html>\n";
    std::string out = "HTTP/1.0 " + title +
                      "\r\nServer: tarvolin-relay\r\nContent-Type: text/html\r\n"
                      "Content-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (withBody)
        out += body;
    return out;
}

std::string AnswerText(int status, std::string_view contentType, std::string_view body,
                       bool withBody) {
    std::string out =
        "HTTP/1.0 " + std::to_string(status) + " " + std::string(Reason(status)) +
        "\r\nServer: tarvolin-relay\r\nContent-Type: " + std::string(contentType) +
        "\r\nCache-Control: no-store\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n";
    if (withBody)
        out += body;
    return out;
}

int ResponseStatus(std::string_view head) {
    const auto space = head.find(' ');
    if (!head.starts_with("HTTP/") || space == std::string_view::npos || head.size() < space + 4)
        return 0;
    int status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (head[i] < '0' || head[i] > '9')
            return 0;
        status = status * 10 + (head[i] - '0');
    }
    const bool ended = head.size() == space + 4 || head[space + 4] == ' ' ||
                       head[space + 4] == '\r' || head[space + 4] == '\n';
    return ended ? status : 0;
}

std::string HostWithoutPort(std::string_view value) {
    if (value.starts_with('[')) {
        const auto close = value.find(']');
        return Lower(value.substr(0, close == std::string_view::npos ? value.size() : close + 1));
    }
    const auto colon = value.rfind(':');
    if (colon != std::string_view::npos &&
        value.find_first_not_of("0123456789", colon + 1) == std::string_view::npos)
        value = value.substr(0, colon);
    if (value.ends_with('.'))
        value.remove_suffix(1);
    return Lower(value);
}

BrowserRequest ParseBrowserRequest(std::string_view bytes, std::size_t cap) {
    BrowserRequest result;
    std::string_view rest = bytes;
    const auto first = NextLine(rest);
    result.requestLine = first ? *first : bytes.substr(0, std::min(bytes.size(), cap));
    Head head;
    bool ended = false;
    while (first && !ended && !head.reject) {
        const auto line = NextLine(rest);
        if (!line)
            break;
        if (line->empty())
            ended = true;
        else
            TakeHeader(*line, head);
    }
    const std::size_t headSize = bytes.size() - rest.size();
    if (!ended && !head.reject) {
        result.kind =
            bytes.size() >= cap ? BrowserRequest::Kind::kReject : BrowserRequest::Kind::kNeedMore;
        result.status = 413;
        return result;
    }
    const auto space = result.requestLine.find(' ');
    if (space == std::string::npos || space == 0)
        head.reject = 400;
    else
        TakeTarget(std::string_view(result.requestLine).substr(space + 1), result);
    if (!head.reject && head.chunked && !head.contentLength)
        head.reject = 411;
    const std::size_t body = head.contentLength.value_or(0);
    result.used = body > cap ? cap + 1 : headSize + body; // no wrap-around for a huge length
    if (!head.reject && result.used > cap)
        head.reject = 413;
    result.host = head.host;
    if (head.reject) {
        result.kind = BrowserRequest::Kind::kReject;
        result.status = head.reject;
    } else {
        result.kind = bytes.size() >= result.used ? BrowserRequest::Kind::kComplete
                                                  : BrowserRequest::Kind::kNeedMore;
    }
    return result;
}

} // namespace tvn::relay
