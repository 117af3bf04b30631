// The HTTP CONNECT tunnel through a proxy for OCSP requests: credentials,
// judging the proxy's answer, and the handshake on an open connection.
#pragma once

#include <log4cxx/logger.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

struct bio_st;

namespace kivo::proxy {

// The proxy to tunnel through; see CCrlSSL's proxy settings.
struct Proxy {
    std::string address;        // "host:port" as BIO_parse_hostserv reads it
    std::string authorization;  // Base64 of "user:password"; empty: no header
    std::string userAgent;      // empty: no header
    int options = 0;            // CCrlSSL::cProxyOption* bits
};

// Size of the working buffer for the proxy's answer (and the longest line
// taken as one line of its header).
inline constexpr std::size_t kBufferSize = 8192;

// Base64 (RFC 4648 alphabet, "=" padding) of `text`.
std::string base64Encode(std::string_view text);
// The Basic credentials text for `user` and `password`; empty when `user` is.
std::string basicCredentials(const std::string& user, const std::string& password);

// What the status line of the proxy's answer says.
enum class Verdict {
    Insufficient,  // fewer than 12 bytes
    Incorrect,     // no blank after "HTTP/x.y"
    Refused,       // a status other than 2xx
    Established,   // 2xx
};

// The proxy's answer as far as it has been received.
struct Reply {
    Verdict verdict = Verdict::Insufficient;
    // What was read from the status code on, header and body lines
    // included (for the log line of a refusal).
    std::string statusText;
    // Whether the header has ended (a line of at most two characters after
    // the status line), and the number of bytes up to and including that line.
    bool headerComplete = false;
    std::size_t headerLength = 0;
};

// Follows the proxy's header line by line, splitting it the way a line
// reader with a kBufferSize buffer would: a line ends after "\n" or after
// kBufferSize - 1 characters. The first line is the status line; the header
// ends with the first later line of at most two characters ("\r\n").
class HeaderScanner {
public:
    // Consumes bytes up to the end of the header; returns how many it took.
    std::size_t feed(const unsigned char* data, std::size_t length);
    bool complete() const { return m_complete; }

private:
    std::size_t m_lineLength = 0;
    bool m_statusLineSeen = false;
    bool m_complete = false;
};

// Judges `length` received bytes of a proxy's answer to CONNECT.
Reply judgeReply(const unsigned char* data, std::size_t length);

// Runs the CONNECT handshake on `connection` (open, non-blocking) for the
// responder at `host`:`port` with `path`. Each wait ends at `deadline`
// (seconds since 1970). True when the proxy answered 2xx and its header was
// read to its end; the connection is then a tunnel to the responder.
bool openTunnel(bio_st* connection, const std::string& host, const std::string& port,
                const std::string& path, const Proxy& proxy, std::time_t deadline,
                const log4cxx::LoggerPtr& logger);

// The request text with the credentials replaced by "*", for the log.
std::string maskCredentials(std::string request, const std::string& credentials);

}  // namespace kivo::proxy

// The CONNECT request for the responder at `host`:`port` with `path`:
//   CONNECT host:port[path] HTTP/1.0
//   [Host: host:port]
//   Proxy-Connection: Keep-Alive
//   [Proxy-Authorization: Basic proxyAuth]
//   [User-Agent: userAgent]
//   (empty line)
// The path and the Host header are sent when `options` is 0 or has
// CCrlSSL::cProxyOptionWithPath respectively cProxyOptionWithHost.
std::string buildProxyRequest(std::string host, std::string port, std::string path,
                              std::string proxyAuth, std::string userAgent, const int options,
                              log4cxx::LoggerPtr logger);
