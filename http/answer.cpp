// The answer as data, and the one place where its head is written.
#include "http/answer.h"

#include "http/http_date.h"
#include "platform/resources.h"

#include <charconv>
#include <unistd.h>

namespace tvn {

void CAnswer::Start(HttpStatus status) {
    status_ = status;
    date = std::time(nullptr);
    headers.clear();
    body.clear();
    trailer.clear();
    file.Close();
    source.reset();
}

void CAnswer::StartError(HttpStatus status) {
    Start(status);
    body.assign(LoadString(status));
}

void CAnswer::AddHeader(std::string_view name, std::string_view value) {
    if (headers.capacity() < kHeadersRoom)
        headers.reserve(kHeadersRoom); // once per connection: the answers after it reuse it
    headers.append(name);
    headers.append(": ");
    headers.append(value);
    headers.append("\r\n");
}

void CAnswer::AddHeaderNumber(std::string_view name, long long value) {
    char number[24];
    const auto end = std::to_chars(number, number + sizeof number, value).ptr;
    AddHeader(name, std::string_view(number, static_cast<std::size_t>(end - number)));
}

std::optional<std::string_view> CAnswer::Header(std::string_view name) const {
    const std::string_view all = headers;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find("\r\n", at);
        const std::string_view line = all.substr(at, end - at);
        if (line.size() >= name.size() + 2 && line.starts_with(name) &&
            line.substr(name.size(), 2) == ": ")
            return line.substr(name.size() + 2);
        at = end + 2;
    }
    return std::nullopt;
}

bool CAnswer::HasKnownEnd(bool headOnly) const {
    if (!Started() || static_cast<int>(status_) % 1000 >= 400)
        return false;
    return headOnly || status_ == HttpStatus::kNotModified || status_ == HttpStatus::kNoContent ||
           Header("Content-Length");
}

void CAnswer::CutToHead() {
    body.clear();
    trailer.clear();
    file.Close();
    source.reset();
}

void CAnswer::Clear() {
    status_ = HttpStatus::kNone;
    headers.clear();
    body.clear();
    trailer.clear();
    file.Close();
    source.reset();
}

void CAnswer::WriteTo(COutputBuffer& out) {
    if (!Started())
        return;
    out.Append("HTTP/1.0 ");
    out.Append(LoadString(status_));
    out.Append("\r\n");
    const std::string& server = LoadString(StringId::kServerHeader);
    if (!server.empty()) {
        out.Append("Server: ");
        out.Append(server);
        out.Append("\r\n");
    }
    out.Append("Date: ");
    out.Append(date == std::time(nullptr) ? FormatHttpDateNow() : FormatHttpDate(date));
    out.Append("\r\n");
    out.Append(headers);
    out.Append("\r\n");
    out.Append(body);
    out.Append(trailer);
    body.clear();
    trailer.clear();
    if (!file.IsOpen())
        return;
    const off_t left = file.size - file.offset;
    if (left < 0 || static_cast<std::size_t>(left) > out.Size() - out.Pending())
        return; // streamed by the connection
    // No more than Content-Length said, should the file have grown since.
    const ssize_t n = left == 0 ? 0
                                : ::pread(file.fd.Get(), out.Data() + out.Pending(),
                                          static_cast<std::size_t>(left), file.offset);
    if (n > 0) {
        out.SetPending(out.Pending() + static_cast<std::size_t>(n));
        file.offset += n;
    }
    // All of it, or what is left of a file that shrank meanwhile: the answer ends here.
    if (n < left || file.offset >= file.size)
        file.Close();
}

} // namespace tvn
