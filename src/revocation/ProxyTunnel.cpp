// HTTP CONNECT tunnel through a proxy for OCSP requests.

#include "src/revocation/ProxyTunnel.h"

#include "CrlSSL.h"
#include "src/frame/Base64Alphabet.h"
#include "src/frame/Logging.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace kivo::proxy {

std::string base64Encode(std::string_view text) {
    std::string encoded;
    encoded.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        const unsigned long group = (static_cast<unsigned char>(text[i]) << 16) |
                                    (static_cast<unsigned char>(text[i + 1]) << 8) |
                                    static_cast<unsigned char>(text[i + 2]);
        encoded.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
        encoded.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
        encoded.push_back(kBase64Alphabet[(group >> 6) & 0x3F]);
        encoded.push_back(kBase64Alphabet[group & 0x3F]);
    }
    const std::size_t rest = text.size() - i;
    if (rest > 0) {
        unsigned long group = static_cast<unsigned long>(static_cast<unsigned char>(text[i])) << 16;
        if (rest == 2) group |= static_cast<unsigned long>(static_cast<unsigned char>(text[i + 1])) << 8;
        encoded.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
        encoded.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
        encoded.push_back(rest == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=');
        encoded.push_back('=');
    }
    return encoded;
}

namespace {

// Overwrites the text held by `text` when it goes out of scope, whichever
// way the scope is left.
class CleansedOnExit {
public:
    explicit CleansedOnExit(std::string& text) : m_text(text) {}
    ~CleansedOnExit() { OPENSSL_cleanse(m_text.data(), m_text.size()); }
    CleansedOnExit(const CleansedOnExit&) = delete;
    CleansedOnExit& operator=(const CleansedOnExit&) = delete;

private:
    std::string& m_text;
};

}  // namespace

std::string basicCredentials(const std::string& user, const std::string& password) {
    if (user.empty()) return {};
    // "user:password" is built in one buffer of its final size, so that no
    // temporary or outgrown buffer keeps a copy of the password, and that
    // buffer is cleansed before it is freed, also when encoding throws.
    std::string pair;
    const CleansedOnExit cleanse(pair);
    pair.reserve(user.size() + 1 + password.size());
    pair.append(user).append(1, ':').append(password);
    return base64Encode(pair);
}

std::size_t HeaderScanner::feed(const unsigned char* data, std::size_t length) {
    std::size_t used = 0;
    while (used < length && !m_complete) {
        const unsigned char byte = data[used++];
        ++m_lineLength;
        if (byte != '\n' && m_lineLength < kBufferSize - 1) continue;
        // A line has ended.
        if (m_statusLineSeen && m_lineLength <= 2) m_complete = true;
        m_statusLineSeen = true;
        m_lineLength = 0;
    }
    return used;
}

Reply judgeReply(const unsigned char* data, std::size_t length) {
    Reply reply;
    if (data == nullptr) length = 0;
    // The status line has the form "HTTP/d.d ddd reason".
    if (length < 12) {
        reply.verdict = Verdict::Insufficient;
    } else if (data[8] != ' ') {
        reply.verdict = Verdict::Incorrect;
    } else {
        reply.verdict = data[9] == '2' ? Verdict::Established : Verdict::Refused;
        // Everything read from the status code on: the proxy's reason and
        // whatever header and body lines came with it.
        reply.statusText.assign(reinterpret_cast<const char*>(data + 9), length - 9);
    }
    if (length > 0) {
        HeaderScanner scanner;
        const std::size_t used = scanner.feed(data, length);
        reply.headerComplete = scanner.complete();
        if (reply.headerComplete) reply.headerLength = used;
    }
    return reply;
}

std::string maskCredentials(std::string request, const std::string& credentials) {
    if (credentials.empty()) return request;
    for (std::size_t at = request.find(credentials); at != std::string::npos;
         at = request.find(credentials, at + credentials.size())) {
        request.replace(at, credentials.size(), credentials.size(), '*');
    }
    return request;
}

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// The working buffer, zeroed when made and cleared when released.
struct ClearedBuffer {
    ClearedBuffer() : bytes(static_cast<unsigned char*>(OPENSSL_zalloc(kBufferSize))) {}
    ~ClearedBuffer() { OPENSSL_clear_free(bytes, kBufferSize); }
    ClearedBuffer(const ClearedBuffer&) = delete;
    ClearedBuffer& operator=(const ClearedBuffer&) = delete;
    unsigned char* bytes;
};

// Waits until `bio` can go on with what it was retrying, or `deadline`.
bool waitForRetry(BIO* bio, std::time_t deadline) {
    return BIO_should_retry(bio) && BIO_wait(bio, deadline, 100) > 0;
}

bool writeAll(BIO* bio, const std::string& text, std::time_t deadline) {
    std::size_t written = 0;
    while (written < text.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(text.size() - written, 1 << 20));
        const int n = BIO_write(bio, text.data() + written, chunk);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (!waitForRetry(bio, deadline)) {
            return false;
        }
    }
    while (BIO_flush(bio) <= 0) {
        if (!waitForRetry(bio, deadline)) return false;
    }
    return true;
}

// One read into `buffer`; 0 when the proxy closed the connection or did not
// answer before `deadline`.
std::size_t readSome(BIO* connection, unsigned char* buffer, std::size_t capacity,
                     std::time_t deadline) {
    for (;;) {
        const int n = BIO_read(connection, buffer, static_cast<int>(capacity));
        if (n > 0) return static_cast<std::size_t>(n);
        if (!waitForRetry(connection, deadline)) return 0;
    }
}

bool sendConnect(BIO* connection, const std::string& request, std::time_t deadline) {
    std::unique_ptr<BIO, BioFree> buffering(BIO_new(BIO_f_buffer()));
    if (!buffering) return false;
    BIO_push(buffering.get(), connection);
    const bool sent = writeAll(buffering.get(), request, deadline);
    // Take the buffering BIO off again; the connection stays open.
    BIO_pop(buffering.get());
    return sent;
}

}  // namespace

bool openTunnel(BIO* connection, const std::string& host, const std::string& port,
                const std::string& path, const Proxy& proxy, std::time_t deadline,
                const log4cxx::LoggerPtr& logger) {
    ClearedBuffer buffer;
    if (buffer.bytes == nullptr) return false;

    const std::string request = buildProxyRequest(host, port, path, proxy.authorization,
                                                  proxy.userAgent, proxy.options, logger);
    LOG4CXX_DEBUG(logger, "request to proxy:\r\n" << maskCredentials(request, proxy.authorization));
    if (!sendConnect(connection, request, deadline)) {
        LOG4CXX_ERROR(logger, "HTTP CONNECT failed, request not sent to proxy");
        return false;
    }

    // Read until the status line is complete; a proxy may send it in pieces.
    std::size_t received = 0;
    while (received < kBufferSize &&
           std::memchr(buffer.bytes, '\n', received) == nullptr) {
        const std::size_t n =
            readSome(connection, buffer.bytes + received, kBufferSize - received, deadline);
        if (n == 0) break;
        received += n;
    }
    if (received > 0) {
        LOG4CXX_DEBUG(logger, "response from proxy:\r\n"
                                  << std::string(reinterpret_cast<char*>(buffer.bytes), received));
    } else {
        LOG4CXX_ERROR(logger, "empty response from proxy!");
    }

    const Reply reply = judgeReply(buffer.bytes, received);
    switch (reply.verdict) {
    case Verdict::Insufficient:
        LOG4CXX_ERROR(logger, "HTTP CONNECT failed, insufficient response from proxy");
        break;
    case Verdict::Incorrect:
        LOG4CXX_ERROR(logger, "HTTP CONNECT failed, incorrect response from proxy");
        // Nothing sensible follows a malformed status line.
        return false;
    case Verdict::Refused:
        LOG4CXX_ERROR(logger, "HTTP CONNECT failed: " << reply.statusText);
        break;
    case Verdict::Established:
        break;
    }

    // Drain the rest of the proxy's header. The responder speaks only after
    // the request, so no byte after the header's end belongs to it.
    HeaderScanner scanner;
    scanner.feed(buffer.bytes, received);
    while (!scanner.complete()) {
        const std::size_t n = readSome(connection, buffer.bytes, kBufferSize, deadline);
        if (n == 0) break;
        scanner.feed(buffer.bytes, n);
    }
    return reply.verdict == Verdict::Established && scanner.complete();
}

}  // namespace kivo::proxy

std::string buildProxyRequest(std::string host, std::string port, std::string path,
                              std::string proxyAuth, std::string userAgent, const int options,
                              log4cxx::LoggerPtr logger) {
    LOG4CXX_DEBUG(logger, "buildProxyRequest options: " << options);
    const bool withPath = options == CCrlSSL::cProxyOptionDefault ||
                          (options & CCrlSSL::cProxyOptionWithPath) != 0;
    const bool withHost = options == CCrlSSL::cProxyOptionDefault ||
                          (options & CCrlSSL::cProxyOptionWithHost) != 0;

    std::string request = "CONNECT " + host + ":" + port;
    if (withPath) request += path;
    request += " HTTP/1.0\r\n";
    if (withHost) request += "Host: " + host + ":" + port + "\r\n";
    request += "Proxy-Connection: Keep-Alive\r\n";
    if (!proxyAuth.empty()) request += "Proxy-Authorization: Basic " + proxyAuth + "\r\n";
    if (!userAgent.empty()) request += "User-Agent: " + userAgent + "\r\n";
    request += "\r\n";
    return request;
}
