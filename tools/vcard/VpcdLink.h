// The connection to the vpcd reader driver: a TCP stream of messages, each a
// two-byte big-endian length followed by that many bytes. A one-byte message
// is a control (0 power off, 1 power on, 2 reset, 4 ATR request); a longer
// one is a command APDU. vcard answers APDUs and ATR requests with one
// message each.
#pragma once

#include "tools/vcard/Bytes.h"

#include <string>

namespace vcard {

class VpcdLink {
public:
    VpcdLink(std::string host, int port) : m_host(std::move(host)), m_port(port) {}
    ~VpcdLink() { close(); }
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;

    bool connect();
    void close();
    bool connected() const { return m_socket >= 0; }

    // True when a message has started to arrive within `timeoutMs`, or the
    // connection has closed (receive then reports it).
    bool waitReadable(int timeoutMs);

    // Waits for the next message. False when the connection is gone or the
    // wait was interrupted by a signal (the connection is then kept).
    bool receive(Bytes& message);
    bool send(const Bytes& message);

private:
    void acknowledgeAtOnce();
    bool readAll(std::uint8_t* buffer, std::size_t count);

    std::string m_host;
    int m_port;
    int m_socket = -1;
};

}  // namespace vcard
