// HTTP helper on libcurl.
//
// Credentials in the URL are used, nothing is cached, the agent is
// "KivoSSL", the proxy comes from the environment, and a response body is
// only handed back when it looks like DER or a PEM CRL. A stalled server
// cannot hold the caller: the connection must come up, and data must keep
// arriving, within kHttpReceiveTimeoutMs.

#include "platform/HttpClient.h"
#include "platform/LogLocation.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace kivo {
namespace {

// Upper bound for a whole exchange, so a server that trickles one byte
// every few seconds still cannot keep the caller waiting for long.
constexpr long kHttpTotalTimeoutMs = 60000;

void ensureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Collects the response body in reads of at most kHttpReadChunkSize bytes,
// stopping the transfer once it would not fit the receive buffer.
struct ReceiveState {
    std::vector<unsigned char> data;
    bool overflow = false;
};

// Ends the transfer when no byte has moved in either direction for
// kHttpReceiveTimeoutMs. (libcurl's low-speed limit averages over a
// window, so a few request bytes sent at the start would stretch it.)
struct Watchdog {
    curl_off_t downloaded = -1;
    curl_off_t uploaded = -1;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    bool expired = false;
};

int watchTransfer(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* watchdog = static_cast<Watchdog*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (dlnow != watchdog->downloaded || ulnow != watchdog->uploaded) {
        watchdog->downloaded = dlnow;
        watchdog->uploaded = ulnow;
        watchdog->lastActivity = now;
        return 0;
    }
    if (now - watchdog->lastActivity >= std::chrono::milliseconds(kHttpReceiveTimeoutMs)) {
        watchdog->expired = true;
        return 1;  // aborts the transfer
    }
    return 0;
}

size_t receiveBody(char* ptr, size_t size, size_t count, void* user) {
    auto* state = static_cast<ReceiveState*>(user);
    const size_t total = size * count;
    size_t done = 0;
    while (done < total) {
        const size_t chunk = std::min<size_t>(kHttpReadChunkSize, total - done);
        if (state->data.size() + chunk > kHttpReceiveBufferSize) {
            state->overflow = true;
            return 0;  // makes libcurl abort the transfer
        }
        state->data.insert(state->data.end(), ptr + done, ptr + done + chunk);
        done += chunk;
    }
    return total;
}

// The first read decides whether the body is wanted: a DER SEQUENCE with a
// long-form length, or a PEM CRL.
bool firstChunkWanted(const std::vector<unsigned char>& data) {
    const size_t n = std::min<size_t>(kHttpReadChunkSize, data.size());
    if (n >= 2 && data[0] == 0x30 && data[1] >= 0x80) {
        return true;
    }
    std::string_view first(reinterpret_cast<const char*>(data.data()), n);
    return first.find("BEGIN") != std::string_view::npos &&
           first.find("CRL") != std::string_view::npos;
}

// Splits "A: b\nC: d\n" into header lines; empty lines are dropped.
// libcurl sends only lines with a colon and silently drops the others
// ("Character-Encoding=binary" of the time-stamp request), so such a line
// rides on its neighbour: "A: b\r\nplain" goes out as the two lines
// written.
curl_slist* headerList(const char* headers, int headersLen, bool* ok) {
    *ok = true;
    if (headers == nullptr) {
        return nullptr;
    }
    const size_t length = headersLen < 0 ? std::strlen(headers) : static_cast<size_t>(headersLen);
    std::string_view all(headers, length);
    std::vector<std::string> lines;
    std::string leading;  // colon-less lines before the first proper one
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string_view::npos) {
            end = all.size();
        }
        std::string line(all.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        start = end + 1;
        if (line.empty()) continue;
        if (line.find(':') != std::string::npos) {
            lines.push_back(leading + line);
            leading.clear();
        } else if (!lines.empty()) {
            lines.back() += "\r\n" + line;
        } else {
            leading += line + "\r\n";
        }
    }
    // Colon-less lines with no proper line to ride on cannot be sent.
    curl_slist* list = nullptr;
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) {
            *ok = false;
            return list;
        }
        list = grown;
    }
    return list;
}

using UrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;

// Splits `url`; only http and https with a host are served. Null (logged)
// otherwise.
UrlPtr parseHttpUrl(const std::string& url) {
    const auto& logger = httpLogger();
    UrlPtr parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        LOG4CXX_ERROR(logger, "cannot split URL: " << url);
        return nullptr;
    }
    char* scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return nullptr;
    const bool httpScheme = std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0;
    curl_free(scheme);
    if (!httpScheme) {
        LOG4CXX_ERROR(logger, "not an HTTP URL: " << url);
        return nullptr;
    }
    return parsed;
}

// What one transfer needs besides the handle.
struct Transfer {
    CURLU* url = nullptr;
    curl_slist* headers = nullptr;
    const char* method = nullptr;
    unsigned char* body = nullptr;
    unsigned long bodyLen = 0;
    Watchdog* watchdog = nullptr;
    ReceiveState* received = nullptr;
};

// Sets every option of the transfer on `h`; false when libcurl refuses one.
bool configureTransfer(CURL* h, const Transfer& transfer) {
    bool setupOk = true;
    auto set = [&](CURLcode code) { setupOk = setupOk && code == CURLE_OK; };
    set(curl_easy_setopt(h, CURLOPT_CURLU, transfer.url));
    set(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(h, CURLOPT_USERAGENT, "KivoSSL"));
    set(curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L));
    set(curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L));
    set(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kHttpReceiveTimeoutMs));
    set(curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watchTransfer));
    set(curl_easy_setopt(h, CURLOPT_XFERINFODATA, transfer.watchdog));
    set(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kHttpTotalTimeoutMs));
    set(curl_easy_setopt(h, CURLOPT_HTTPHEADER, transfer.headers));
    set(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receiveBody));
    set(curl_easy_setopt(h, CURLOPT_WRITEDATA, transfer.received));
    const std::string verb = transfer.method != nullptr ? transfer.method : "GET";
    if (verb == "POST") {
        unsigned char* body = transfer.body;
        set(curl_easy_setopt(h, CURLOPT_POST, 1L));
        set(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body != nullptr ? reinterpret_cast<char*>(body) : ""));
        set(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(body != nullptr ? transfer.bodyLen : 0)));
    } else if (verb != "GET") {
        set(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb.c_str()));
    }
    return setupOk;
}

int sendHttpRequest(const std::string& url, const char* method, unsigned char* body,
                    unsigned long bodyLen, const char* headers, int headersLen,
                    unsigned char** out, unsigned long* outLen) {
    const auto& logger = httpLogger();
    if (outLen != nullptr) {
        *outLen = 0;
    }
    if (out == nullptr || *out == nullptr || outLen == nullptr) {
        LOG4CXX_ERROR(logger, "no receive buffer");
        return kHttpRequestFailed;
    }
    ensureCurlInitialised();

    const UrlPtr parsed = parseHttpUrl(url);
    if (!parsed) return kHttpBadUrl;

    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        LOG4CXX_ERROR(logger, "cannot open HTTP session");
        return kHttpOpenFailed;
    }
    bool headersOk = true;
    std::unique_ptr<curl_slist, SlistDeleter> headerLines(headerList(headers, headersLen, &headersOk));
    // No "Expect: 100-continue" round trip for larger bodies.
    curl_slist* withExpect = curl_slist_append(headerLines.get(), "Expect:");
    if (!headersOk || withExpect == nullptr) {
        return kHttpRequestFailed;
    }
    headerLines.release();
    headerLines.reset(withExpect);

    ReceiveState state;
    Watchdog watchdog;
    if (!configureTransfer(curl.get(), {parsed.get(), headerLines.get(), method, body, bodyLen, &watchdog, &state})) {
        LOG4CXX_ERROR(logger, "cannot prepare HTTP request");
        return kHttpRequestFailed;
    }

    const CURLcode sent = curl_easy_perform(curl.get());
    if (sent == CURLE_SSL_CLIENTCERT) {
        LOG4CXX_ERROR(logger, "server asks for a client certificate");
        return kHttpClientCertNeeded;
    }
    if (sent != CURLE_OK) {
        // A failed exchange reads nothing.
        LOG4CXX_ERROR(logger, "HTTP request failed: "
                                  << (watchdog.expired ? "receive time-out" : curl_easy_strerror(sent)));
        return kHttpOk;
    }
    if (state.overflow || !firstChunkWanted(state.data)) {
        return kHttpOk;
    }
    std::memcpy(*out, state.data.data(), state.data.size());
    *outLen = static_cast<unsigned long>(state.data.size());
    return kHttpOk;
}

}  // namespace

const log4cxx::LoggerPtr& httpLogger() {
    static const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("KivoCryptoSSL::CHttp");
    return logger;
}

int SendHttpRequest(std::string url, const char* method, unsigned char* body,
                    unsigned long bodyLen, const char* headers, int headersLen,
                    unsigned char** out, unsigned long* outLen) {
    try {
        return sendHttpRequest(url, method, body, bodyLen, headers, headersLen, out, outLen);
    } catch (...) {
        LOG4CXX_ERROR(httpLogger(), "HTTP request failed: out of memory");
        if (outLen != nullptr) {
            *outLen = 0;
        }
        return kHttpRequestFailed;
    }
}

}  // namespace kivo
