#include "local/ConnectionListener.h"

#include "local/ConnectionBudget.h"
#include "local/Sockets.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long the listener rests when the system has no descriptor or memory for a connection.
constexpr int restMs = 100;
// Connections taken per wake of the listener, so that a burst does not hold up the open ones.
constexpr int acceptsPerWake = 64;

} // namespace

ConnectionListener::ConnectionListener(QHostAddress address, ServiceAdvertiser* advertiser,
                                       ServiceAdvertiser::Service service, ConnectionBudget& budget,
                                       QObject* parent)
    : QObject(parent)
    , m_address(std::move(address))
    , m_advertiser(advertiser)
    , m_service(std::move(service))
    , m_budget(budget) {
    m_restTimer.setSingleShot(true);
    QObject::connect(&m_restTimer, &QTimer::timeout, this, [this] { resume(); });
}

ConnectionListener::~ConnectionListener() {
    stopListening();
}

void ConnectionListener::start(quint16 port) {
    if (isListening()) {
        return;
    }
    m_triedAnyPort = false;
    listen(port);
}

void ConnectionListener::listen(quint16 port) {
    const int descriptor = Sockets::openListening(m_address, port);
    if (descriptor < 0) {
        if (port == 0) {
            return; // nothing left to try; no listener and no report
        }
        m_triedAnyPort = true;
        listen(0);
        return;
    }
    m_descriptor = descriptor;
    m_budget.measureDescriptors();
    // A child, so that one dropped while the listener is destroyed goes with it.
    m_notifier = std::make_unique<QSocketNotifier>(qintptr(descriptor), QSocketNotifier::Read, this);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { acceptPending(); });
    const quint16 chosen = Sockets::boundPort(descriptor);
    if (m_advertiser) {
        ServiceAdvertiser::Service service = m_service;
        service.port = chosen;
        m_advertiser->advertise(service);
    }
    onPortChange(chosen);
}

void ConnectionListener::acceptPending() {
    for (int accepted = 0; accepted < acceptsPerWake && isListening(); ++accepted) {
        if (m_budget.full()) {
            if (!Sockets::hasPendingConnection(m_descriptor)) {
                return;
            }
            if (const ConnectionBudget::Room room = askForRoom(); !room.made) {
                rest(room.restMs);
                return;
            }
        }
        const int descriptor = ::accept4(m_descriptor, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            onAccepted(descriptor);
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return;
        // What befell one incoming connection (aborted before it was taken, refused by a firewall
        // rule, a network error): that costs the connection, not the port, and moving the port would
        // lose the iPads that know it.
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case ENOPROTOOPT:
        case EOPNOTSUPP:
        case ETIMEDOUT:
            continue;
        // Out of descriptors or memory: the pending connection stays queued while the listener
        // rests; accepting at once again would only fail again, as fast as the core allows.
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            rest(restMs);
            return;
        default:
            giveUp();
            return;
        }
    }
}

void ConnectionListener::rest(std::optional<qint64> delayMs) {
    m_notifier->setEnabled(false);
    if (delayMs) {
        m_restTimer.start(int(*delayMs));
    }
}

void ConnectionListener::resume() {
    if (m_notifier && !m_notifier->isEnabled()) {
        m_restTimer.stop();
        m_notifier->setEnabled(true);
    }
}

void ConnectionListener::giveUp() {
    // A socket that still listens had a passing failure; it rests and is taken up again.
    if (Sockets::isListening(m_descriptor)) {
        rest(restMs);
        return;
    }
    stopListening();
    if (!m_triedAnyPort) {
        m_triedAnyPort = true;
        listen(0);
        return;
    }
    onPortChange(std::nullopt);
}

void ConnectionListener::stopListening() {
    if (!isListening()) {
        return;
    }
    m_restTimer.stop();
    Sockets::dropNotifier(m_notifier, false);
    ::close(std::exchange(m_descriptor, -1));
    if (m_advertiser) {
        m_advertiser->withdraw();
    }
}
