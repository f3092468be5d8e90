#include "platform/http_client.h"

#include "platform/loadable_module.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <memory>

namespace tvn {
namespace {

// libcurl, and the two dozen libraries it brings (GnuTLS, Kerberos, LDAP, SSH, ...), are
// loaded when the first request is sent, not at program start: most runs never send one
// (no dynamic DNS, no location report, no certificate to fetch), and loaded they cost
// about 4 MiB of every run's memory. Kept loaded for the program's life once there.
struct CurlLibrary {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFreeAll = nullptr;
};

// The loaded library with every function found and initialised, or nullptr when it
// cannot be had (each request then fails as one the library could not start).
const CurlLibrary* Curl() {
    static const CurlLibrary* loaded = []() -> const CurlLibrary* {
        void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return nullptr;
        static CurlLibrary api;
        const bool all = BindFunction(library, "curl_global_init", api.globalInit) &&
                         BindFunction(library, "curl_easy_init", api.easyInit) &&
                         BindFunction(library, "curl_easy_setopt", api.easySetopt) &&
                         BindFunction(library, "curl_easy_perform", api.easyPerform) &&
                         BindFunction(library, "curl_easy_getinfo", api.easyGetinfo) &&
                         BindFunction(library, "curl_easy_cleanup", api.easyCleanup) &&
                         BindFunction(library, "curl_slist_append", api.slistAppend) &&
                         BindFunction(library, "curl_slist_free_all", api.slistFreeAll);
        if (!all || api.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            return nullptr; // the library stays loaded: it may have started threads
        return &api;
    }();
    return loaded;
}

struct CurlDeleter {
    void operator()(CURL* handle) const { Curl()->easyCleanup(handle); }
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
    const CurlLibrary* api = Curl();
    CurlHandle curl(api ? api->easyInit() : nullptr);
    if (!curl) {
        result.error = CURLE_FAILED_INIT;
        return result;
    }
    Transfer transfer;
    transfer.keep = options.keepBytes;
    transfer.cancel = options.cancel;
    transfer.headers = exchange.headers;
    CURL* handle = curl.get();
    api->easySetopt(handle, CURLOPT_URL, url.c_str());
    // No signals from a worker thread: name lookups time out without SIGALRM.
    api->easySetopt(handle, CURLOPT_NOSIGNAL, 1L);
    api->easySetopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    api->easySetopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    api->easySetopt(handle, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    api->easySetopt(handle, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    api->easySetopt(handle, CURLOPT_USERAGENT, options.userAgent.c_str());
    if (!options.user.empty()) {
        // Sent with the first request: the dynamic DNS services expect it there.
        api->easySetopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        api->easySetopt(handle, CURLOPT_USERNAME, options.user.c_str());
        api->easySetopt(handle, CURLOPT_PASSWORD, options.password.c_str());
    }
    if (!options.caFile.empty())
        api->easySetopt(handle, CURLOPT_CAINFO, options.caFile.c_str());
    struct curl_slist* headerList = nullptr;
    if (std::string_view(exchange.method) == "HEAD") {
        api->easySetopt(handle, CURLOPT_NOBODY, 1L);
    } else if (std::string_view(exchange.method) == "POST" && exchange.body) {
        api->easySetopt(handle, CURLOPT_POST, 1L);
        api->easySetopt(handle, CURLOPT_POSTFIELDS, exchange.body->data());
        api->easySetopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                        static_cast<curl_off_t>(exchange.body->size()));
        if (exchange.contentType && !exchange.contentType->empty()) {
            const std::string line = "Content-Type: " + *exchange.contentType;
            headerList = api->slistAppend(headerList, line.c_str());
        }
        headerList = api->slistAppend(headerList, "Expect:");
        api->easySetopt(handle, CURLOPT_HTTPHEADER, headerList);
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> ownHeaders(headerList,
                                                                           api->slistFreeAll);
    api->easySetopt(handle, CURLOPT_HEADERFUNCTION, KeepHeader);
    api->easySetopt(handle, CURLOPT_HEADERDATA, &transfer);
    api->easySetopt(handle, CURLOPT_WRITEFUNCTION, KeepSome);
    api->easySetopt(handle, CURLOPT_WRITEDATA, &transfer);
    api->easySetopt(handle, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    api->easySetopt(handle, CURLOPT_XFERINFODATA, &transfer);
    api->easySetopt(handle, CURLOPT_NOPROGRESS, 0L);
    // The proxy settings (http_proxy, https_proxy, no_proxy) come from the environment,
    // which libcurl reads by itself.
    const CURLcode code = api->easyPerform(handle);
    long status = 0;
    api->easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &status);
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
