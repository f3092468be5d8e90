#include "platform/http_client.h"

#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace tvn {
namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct Transfer {
    std::string body;
    std::size_t keep = 0;
    const std::atomic<bool>* cancel = nullptr;
    HttpAnswer* headers = nullptr; // where the headers go, when they are wanted
};

// Takes the headers a protocol client wants from one header line; a later answer (after a
// 100 Continue) overwrites an earlier one.
std::size_t KeepHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (!transfer->headers)
        return bytes;
    std::string_view line(data, bytes);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return bytes;
    std::string name(line.substr(0, colon));
    for (char& c : name)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                              value.back() == '\t'))
        value.remove_suffix(1);
    if (name == "location")
        transfer->headers->location = value;
    else if (name == "replay-nonce")
        transfer->headers->replayNonce = value;
    else if (name == "content-type")
        transfer->headers->contentType = value;
    return bytes;
}

std::size_t KeepSome(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    const std::size_t room = transfer->keep - transfer->body.size();
    if (bytes > room) {
        transfer->body.append(data, room);
        return 0; // enough read: ends the transfer
    }
    transfer->body.append(data, bytes);
    return bytes;
}

int CheckCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* transfer = static_cast<const Transfer*>(user);
    return transfer->cancel && transfer->cancel->load() ? 1 : 0;
}

bool IsHttpUrl(const std::string& url) {
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
        return false;
    std::string scheme = url.substr(0, schemeEnd);
    for (char& c : scheme)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return scheme == "http" || scheme == "https";
}

} // namespace

void InitHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

struct Exchange {
    const char* method = "GET";
    const std::string* body = nullptr;
    const std::string* contentType = nullptr;
    HttpAnswer* headers = nullptr;
};

HttpGetResult Perform(const std::string& url, const HttpGetOptions& options,
                      const Exchange& exchange) {
    HttpGetResult result;
    if (!IsHttpUrl(url)) {
        result.error = CURLE_UNSUPPORTED_PROTOCOL;
        return result;
    }
    InitHttpClient();
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        result.error = CURLE_FAILED_INIT;
        return result;
    }
    Transfer transfer;
    transfer.keep = options.keepBytes;
    transfer.cancel = options.cancel;
    transfer.headers = exchange.headers;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    // No signals from a worker thread: name lookups time out without SIGALRM.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, options.userAgent.c_str());
    if (!options.user.empty()) {
        // Sent with the first request: the dynamic DNS services expect it there.
        curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(handle, CURLOPT_USERNAME, options.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, options.password.c_str());
    }
    if (!options.caFile.empty())
        curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile.c_str());
    struct curl_slist* headerList = nullptr;
    if (std::string_view(exchange.method) == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (std::string_view(exchange.method) == "POST" && exchange.body) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, exchange.body->data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(exchange.body->size()));
        if (exchange.contentType && !exchange.contentType->empty()) {
            const std::string line = "Content-Type: " + *exchange.contentType;
            headerList = curl_slist_append(headerList, line.c_str());
        }
        headerList = curl_slist_append(headerList, "Expect:");
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList);
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> ownHeaders(headerList,
                                                                           curl_slist_free_all);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, KeepHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, KeepSome);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    // The proxy settings (http_proxy, https_proxy, no_proxy) come from the environment,
    // which libcurl reads by itself.
    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    result.status = status;
    result.answered = status > 0 && (code == CURLE_OK || code == CURLE_WRITE_ERROR);
    result.body = std::move(transfer.body);
    if (!result.answered)
        result.error = code == CURLE_OK ? -1 : static_cast<int>(code);
    return result;
}

} // namespace

HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options) {
    return Perform(url, options, Exchange{});
}

HttpAnswer HttpSend(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& contentType, const HttpGetOptions& options) {
    HttpAnswer answer;
    Exchange exchange;
    exchange.method = method.c_str();
    exchange.body = &body;
    exchange.contentType = &contentType;
    exchange.headers = &answer;
    static_cast<HttpGetResult&>(answer) = Perform(url, options, exchange);
    return answer;
}

} // namespace tvn
