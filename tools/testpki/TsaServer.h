// A throwaway RFC 3161 time-stamp service on 127.0.0.1, for tests and
// demonstrations. It answers HTTP POSTs of DER TimeStampReqs with
// TimeStampResps made by OpenSSL's TS_RESP_CTX, signed by a key and
// certificate of its own (issued by its own CA). Fault modes make it
// misbehave in the ways a client must survive.
#pragma once

#include "tools/testpki/Pki.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivo::test {

class TsaServer {
public:
    enum class Mode {
        Normal,          // a granted response with a token
        HttpError,       // HTTP 500 with a text body
        GrantedWithMods, // a real response whose status reads 1
        NotDer,          // HTTP 200 with a body that is no DER
        Oversized,       // a long-form DER SEQUENCE header and 70000 bytes
        NeverAnswer,     // accepts the connection and stays silent
        Custom,          // HTTP 200 with the body given to setCustomBody
    };

    // Starts listening on 127.0.0.1 with a port chosen by the system;
    // throws std::runtime_error when that is not possible.
    explicit TsaServer(Mode mode = Mode::Normal);
    // Stops the listener and closes every connection.
    ~TsaServer();
    TsaServer(const TsaServer&) = delete;
    TsaServer& operator=(const TsaServer&) = delete;

    void setMode(Mode mode) { m_mode.store(mode); }
    void setCustomBody(std::vector<unsigned char> body);
    int port() const { return m_port; }
    // "http://127.0.0.1:<port>/tsa"
    std::string url() const;

    X509* caCertificate() const { return m_caCert.get(); }
    X509* tsaCertificate() const { return m_tsaCert.get(); }

    // The last request body and header block received, and how many
    // requests were received.
    std::vector<unsigned char> lastRequestBody() const;
    std::string lastRequestHeaders() const;
    int requestCount() const;

    // Makes a DER TimeStampResp for a DER TimeStampReq (empty when OpenSSL
    // refuses the request), without any HTTP around it.
    std::vector<unsigned char> respond(const std::vector<unsigned char>& request,
                                       bool grantedWithMods = false) const;

private:
    void run();
    void serve(int client);

    std::atomic<Mode> m_mode;
    std::atomic<bool> m_stop{false};
    int m_listener = -1;
    int m_port = 0;
    EvpKeyPtr m_caKey;
    X509Ptr m_caCert;
    EvpKeyPtr m_tsaKey;
    X509Ptr m_tsaCert;
    mutable std::mutex m_mutex;
    std::vector<unsigned char> m_lastBody;
    std::string m_lastHeaders;
    std::vector<unsigned char> m_customBody;
    int m_requests = 0;
    std::vector<int> m_silent;  // connections held open in NeverAnswer mode
    std::thread m_thread;
};

}  // namespace kivo::test
