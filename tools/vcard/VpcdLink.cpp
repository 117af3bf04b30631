#include "tools/vcard/VpcdLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vcard {

bool VpcdLink::connect() {
    close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(m_host.c_str(), std::to_string(m_port).c_str(), &hints, &found) != 0) return false;
    for (addrinfo* a = found; a; a = a->ai_next) {
        int s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s < 0) continue;
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            int one = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            m_socket = s;
            break;
        }
        ::close(s);
    }
    freeaddrinfo(found);
    return m_socket >= 0;
}

void VpcdLink::close() {
    if (m_socket >= 0) ::close(m_socket);
    m_socket = -1;
}

bool VpcdLink::waitReadable(int timeoutMs) {
    if (m_socket < 0) return false;
    pollfd fd{m_socket, POLLIN, 0};
    return ::poll(&fd, 1, timeoutMs) > 0;
}

// vpcd writes a message's length and its payload in two writes, and its
// socket waits for our acknowledgement of the first before sending the
// second. Linux delays acknowledgements (up to about 40 ms) unless asked
// not to, and the request lasts only until the next one is due: it is
// renewed after every read, so each APDU costs a round trip, not a timer.
void VpcdLink::acknowledgeAtOnce() {
    int one = 1;
    setsockopt(m_socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool VpcdLink::readAll(std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::recv(m_socket, buffer + done, count - done, 0);
        acknowledgeAtOnce();
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        // A signal before any byte of the message leaves the stream intact.
        if (n < 0 && errno == EINTR && done == 0) return false;
        if (n < 0 && errno == EINTR) continue;
        close();
        return false;
    }
    return true;
}

bool VpcdLink::receive(Bytes& message) {
    if (m_socket < 0) return false;
    std::uint8_t header[2];
    if (!readAll(header, 2)) return false;
    message.assign(static_cast<std::size_t>(header[0] << 8 | header[1]), 0);
    // The length is already consumed: finish the message whatever happens.
    std::size_t done = 0;
    while (done < message.size()) {
        ssize_t n = ::recv(m_socket, message.data() + done, message.size() - done, 0);
        acknowledgeAtOnce();
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool VpcdLink::send(const Bytes& message) {
    if (m_socket < 0 || message.size() > 0xFFFF) return false;
    Bytes framed{static_cast<std::uint8_t>(message.size() >> 8), static_cast<std::uint8_t>(message.size())};
    framed.insert(framed.end(), message.begin(), message.end());
    std::size_t done = 0;
    while (done < framed.size()) {
        ssize_t n = ::send(m_socket, framed.data() + done, framed.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace vcard
