#include "local/Sockets.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Sockets {

int openListening(const QHostAddress& address, quint16 port) {
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv4) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        in6->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof *in6;
    }
    const int descriptor = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        // A system without IPv6 still serves IPv4 for "any address".
        return !ipv4 && address == QHostAddress(QHostAddress::Any)
                   ? openListening(QHostAddress(QHostAddress::AnyIPv4), port)
                   : -1;
    }
    const int on = 1;
    const int v6only = address == QHostAddress(QHostAddress::Any) ? 0 : 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!ipv4) {
        ::setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(descriptor, 1024) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

quint16 boundPort(int descriptor) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return 0;
    }
    return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

bool hasPendingConnection(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    return ::poll(&waiting, 1, 0) > 0;
}

bool isListening(int listener) {
    int listening = 0;
    socklen_t size = sizeof listening;
    return ::getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

qint64 receiveSome(int descriptor, char* into, qint64 capacity) {
    for (;;) {
        const ssize_t n = ::recv(descriptor, into, size_t(capacity), 0);
        if (n > 0) {
            return n;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

qint64 sendSome(int descriptor, const char* bytes, qint64 size, bool last) {
    for (;;) {
        const ssize_t n =
            ::send(descriptor, bytes, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT | (last ? MSG_MORE : 0));
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void limitSendBuffer(int descriptor, int bytes) {
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void dropNotifier(std::unique_ptr<QSocketNotifier>& notifier, bool now) {
    if (!notifier) {
        return;
    }
    notifier->setEnabled(false);
    notifier->disconnect();
    if (now) {
        notifier.reset();
    } else {
        notifier.release()->deleteLater();
    }
}

} // namespace Sockets
