#include "local/LocalServer.h"

#include "local/IncomingBody.h"
#include "local/RequestReceipt.h"
#include "platform/Descriptors.h"
#include "platform/ServiceAdvertiser.h"
#include "records/JsonDecoding.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUuid>

#include <deque>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray textPlain = QByteArrayLiteral("text/plain");
const QByteArray applicationJson = QByteArrayLiteral("application/json");

// The server's connections and files never take more descriptors than this, however high the
// process's limit.
constexpr qint64 descriptorCap = 16384;
// Connections still reading their request, at most. Each is watched by the event loop, whose every
// turn and every change of what it watches costs a pass over all of them; a parked request is not
// watched, so 10,000 of them cost nothing there.
constexpr qint64 readingCap = 1024;
// A request no larger than this (head and body) is read even while the held bytes are at their
// bound: an iPad's hello, listing or small look is not held up by large bodies that stall.
constexpr qint64 smallRequestBytes = 16384;
// At the connection budget, a connection that has not sent its whole head this long after it was
// accepted makes room for a new one.
constexpr qint64 evictableAfterMs = 1000;
// How long the listener rests when the system has no descriptor or memory for a connection.
constexpr int acceptPauseMs = 100;
// Connections taken per wake of the listener, so that a burst does not hold up the open ones.
constexpr int acceptsPerWake = 64;
// Pieces in which a file is read and sent.
constexpr qint64 filePieceBytes = 256 * 1024;
// The system's buffer for a file on its way out (it doubles the figure). Left to itself it grows to
// megabytes per connection, and a few hundred readers that never read then starve every other
// connection of the system's memory; this much in flight still fills a local network.
constexpr int fileSendBufferBytes = 256 * 1024;

qint64 descriptorBudget(qint64 limit) {
    return std::clamp<qint64>(limit - std::max<qint64>(256, limit / 4), 1, descriptorCap);
}

// A listening TCP socket on `address` (QHostAddress::Any takes IPv6 and IPv4 alike), or -1.
int openListeningSocket(const QHostAddress& address, quint16 port) {
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
                   ? openListeningSocket(QHostAddress(QHostAddress::AnyIPv4), port)
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

// Bytes read, 0 when none are there now, -1 at the end of the input or on an error.
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

// Bytes sent, 0 when the socket has no room now, -1 when the connection failed.
qint64 sendSome(int descriptor, const char* bytes, qint64 size) {
    for (;;) {
        const ssize_t n = ::send(descriptor, bytes, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

} // namespace

// Everything that touches sockets; lives on the server's own thread. Connections are plain
// non-blocking sockets, so that nothing is read beyond the one request and the end of a peer's
// input is seen only once the request is known to be incomplete.
class LocalServerWorker : public QObject {
public:
    LocalServerWorker(LocalServer* owner, ServiceAdvertiser* advertiser, QString computerName,
                      quint16 preferredPort, std::chrono::milliseconds longPollTimeout,
                      std::chrono::milliseconds requestTimeout, QHostAddress listenAddress,
                      LocalServer::Limits limits)
        : m_owner(owner)
        , m_advertiser(advertiser)
        , m_computerName(std::move(computerName))
        , m_preferredPort(preferredPort)
        , m_longPollTimeout(longPollTimeout.count())
        , m_requestTimeout(requestTimeout.count())
        , m_requestDeadline(limits.requestDeadline.count())
        , m_maxDescriptors(limits.maxDescriptors)
        , m_maxHeldBytes(limits.maxHeldBytes)
        , m_listenAddress(std::move(listenAddress)) {
        m_clock.start();
        m_deadlineTimer.setSingleShot(true);
        m_deadlineTimer.setTimerType(Qt::CoarseTimer);
        QObject::connect(&m_deadlineTimer, &QTimer::timeout, this, [this] { expireConnections(); });
        m_waiterTimer.setSingleShot(true);
        m_waiterTimer.setTimerType(Qt::CoarseTimer);
        QObject::connect(&m_waiterTimer, &QTimer::timeout, this, [this] { expireWaiters(); });
        m_acceptTimer.setSingleShot(true);
        QObject::connect(&m_acceptTimer, &QTimer::timeout, this, [this] { resumeAccepting(); });
    }

    ~LocalServerWorker() override {
        // Nothing runs on this thread after this; what is closed now is deleted now.
        m_tearingDown = true;
        closeListener();
        dropConnections();
    }

    void start() {
        if (m_listener >= 0) {
            return;
        }
        m_triedAnyPort = false;
        startListener(m_preferredPort);
    }

    void stop() {
        closeListener();
        dropConnections();
        m_waiters.clear();
        m_waiterDeadlines.clear();
        m_waiterTimer.stop();
        reportPort(std::nullopt);
    }

    void notifyInboxChanged() {
        if (m_waiters.isEmpty()) {
            return;
        }
        QList<quint64> connections;
        connections.reserve(m_waiters.size());
        for (const quint64 connection : std::as_const(m_waiters)) {
            connections.append(connection);
        }
        m_waiters.clear();
        m_waiterDeadlines.clear();
        m_waiterTimer.stop();
        wake(std::move(connections));
    }

    void addInboxWaiters(const QList<quint64>& connections) {
        const qint64 deadline = m_clock.elapsed() + m_longPollTimeout;
        for (const quint64 connection : connections) {
            if (!m_connections.contains(connection)) {
                continue;
            }
            const QUuid id = QUuid::createUuid();
            m_waiters.insert(id, connection);
            m_waiterDeadlines.emplace_back(deadline, id);
        }
        if (!m_waiterTimer.isActive() && !m_waiterDeadlines.empty()) {
            m_waiterTimer.start(std::max<qint64>(0, m_waiterDeadlines.front().first - m_clock.elapsed()));
        }
    }

    // Writes one complete answer to each connection that is still waiting for one, then closes it
    // once the bytes are out. `file`, when given, follows `bytes` (its head) to the one connection.
    void deliver(const QList<quint64>& connections, const QByteArray& bytes,
                 std::optional<RegularFile> file = std::nullopt) {
        for (const quint64 id : connections) {
            Connection* connection = find(id);
            if (!connection || connection->phase != Phase::Routed) {
                continue;
            }
            connection->phase = Phase::Answering;
            connection->answer = bytes;
            if (file) {
                connection->file = std::move(file);
                ++m_openFiles;
                ::setsockopt(connection->descriptor, SOL_SOCKET, SO_SNDBUF, &fileSendBufferBytes,
                             sizeof fileSendBufferBytes);
            }
            // Most answers go out at once; only one that has to wait is given a place among the deadlines.
            connection->deadline = m_clock.elapsed() + m_requestTimeout;
            sendMore(id);
        }
    }

private:
    enum class Phase { Reading, Routed, Answering };

    struct Connection {
        quint64 id = 0;
        int descriptor = -1;
        Phase phase = Phase::Reading;
        LocalHttp::RequestReceipt receipt;
        // Reading while the request arrives, writing while an answer waits for room; none while
        // routed, so that thousands of parked requests cost the event loop nothing.
        std::unique_ptr<QSocketNotifier> notifier;
        qint64 acceptedAt = 0;
        qint64 deadline = 0;
        std::optional<std::pair<qint64, quint64>> deadlineEntry;
        qint64 held = 0; // counted against maxHeldBytes
        bool waitingForMemory = false;
        QByteArray answer; // the answer, or the head of one sent from `file`
        qint64 answerSent = 0;
        std::optional<RegularFile> file;
        qint64 fileSent = 0;
    };

    Connection* find(quint64 id) {
        const auto found = m_connections.find(id);
        return found == m_connections.end() ? nullptr : found->second.get();
    }

    // --- the listener -----------------------------------------------------------------------------

    void startListener(quint16 port) {
        const int descriptor = openListeningSocket(m_listenAddress, port);
        if (descriptor < 0) {
            if (port == 0) {
                return; // nothing left to try; no listener and no report
            }
            m_triedAnyPort = true;
            startListener(0);
            return;
        }
        m_listener = descriptor;
        m_descriptorBudget = m_maxDescriptors > 0 ? m_maxDescriptors : descriptorBudget(Descriptors::limit());
        m_listenerNotifier = std::make_unique<QSocketNotifier>(qintptr(descriptor), QSocketNotifier::Read);
        QObject::connect(m_listenerNotifier.get(), &QSocketNotifier::activated, this,
                         [this] { acceptPending(); });
        const quint16 chosen = boundPort(descriptor);
        if (m_advertiser) {
            m_advertiser->advertise({m_computerName, LocalServer::serviceType, chosen, {{"v", "1"}}});
        }
        reportPort(chosen);
    }

    void acceptPending() {
        for (int accepted = 0; accepted < acceptsPerWake && m_listener >= 0; ++accepted) {
            if ((m_reading >= readingCap ||
                 qint64(m_connections.size()) + m_openFiles >= m_descriptorBudget) &&
                (!connectionPending() || !makeRoom())) {
                return;
            }
            const int descriptor = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (descriptor >= 0) {
                accept(descriptor);
                continue;
            }
            switch (errno) {
            case EAGAIN:
#if EAGAIN != EWOULDBLOCK
            case EWOULDBLOCK:
#endif
                return;
            // What befell one incoming connection (aborted before it was taken, refused by a
            // firewall rule, a network error): that costs the connection, not the port, and moving
            // the port would lose the iPads that know it.
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
                pauseAccepting(acceptPauseMs);
                return;
            default:
                listenerFailed();
                return;
            }
        }
    }

    bool connectionPending() const {
        pollfd listener{m_listener, POLLIN, 0};
        return ::poll(&listener, 1, 0) > 0;
    }

    // At the budget: closes the oldest connection that has been sending its head for too long, or
    // rests the listener until a connection closes or one becomes old enough.
    bool makeRoom() {
        if (m_headReaders.empty()) {
            pauseAccepting(std::nullopt);
            return false;
        }
        const quint64 oldest = *m_headReaders.begin();
        const qint64 age = m_clock.elapsed() - find(oldest)->acceptedAt;
        if (age < evictableAfterMs) {
            pauseAccepting(evictableAfterMs - age);
            return false;
        }
        removeConnection(oldest);
        return true;
    }

    void pauseAccepting(std::optional<qint64> delay) {
        m_listenerNotifier->setEnabled(false);
        if (delay) {
            m_acceptTimer.start(int(*delay));
        }
    }

    void resumeAccepting() {
        if (m_listenerNotifier && !m_listenerNotifier->isEnabled()) {
            m_acceptTimer.stop();
            m_listenerNotifier->setEnabled(true);
        }
    }

    void listenerFailed() {
        // A socket that still listens had a passing failure; it rests and is taken up again.
        int listening = 0;
        socklen_t size = sizeof listening;
        if (::getsockopt(m_listener, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0) {
            pauseAccepting(acceptPauseMs);
            return;
        }
        closeListener();
        if (!m_triedAnyPort) {
            m_triedAnyPort = true;
            startListener(0);
            return;
        }
        reportPort(std::nullopt);
    }

    void closeListener() {
        if (m_listener < 0) {
            return;
        }
        m_acceptTimer.stop();
        dropNotifier(m_listenerNotifier);
        ::close(std::exchange(m_listener, -1));
        if (m_advertiser) {
            m_advertiser->withdraw();
        }
    }

    void reportPort(std::optional<quint16> port) {
        LocalServer* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, port] { owner->reportPort(port); });
    }

    // --- reading a request ----------------------------------------------------------------------

    void accept(int descriptor) {
        const quint64 id = ++m_lastConnectionId;
        auto connection = std::make_unique<Connection>();
        connection->id = id;
        connection->descriptor = descriptor;
        connection->acceptedAt = m_clock.elapsed();
        Connection& added = *m_connections.emplace(id, std::move(connection)).first->second;
        m_headReaders.insert(id);
        ++m_reading;
        setDeadline(added, added.acceptedAt + std::min(m_requestTimeout, m_requestDeadline));
        watch(added, QSocketNotifier::Read);
        receive(id);
    }

    // The notifier is deleted later: this may run inside one of its own signals.
    void dropNotifier(std::unique_ptr<QSocketNotifier>& notifier) {
        if (!notifier) {
            return;
        }
        notifier->setEnabled(false);
        notifier->disconnect(this);
        if (m_tearingDown) {
            notifier.reset();
        } else {
            notifier.release()->deleteLater();
        }
    }

    void watch(Connection& connection, QSocketNotifier::Type type) {
        if (connection.notifier && connection.notifier->type() == type) {
            connection.notifier->setEnabled(true);
            return;
        }
        dropNotifier(connection.notifier);
        connection.notifier = std::make_unique<QSocketNotifier>(qintptr(connection.descriptor), type);
        const quint64 id = connection.id;
        if (type == QSocketNotifier::Read) {
            QObject::connect(connection.notifier.get(), &QSocketNotifier::activated, this,
                             [this, id] { receive(id); });
        } else {
            QObject::connect(connection.notifier.get(), &QSocketNotifier::activated, this,
                             [this, id] { sendMore(id); });
        }
    }

    // One receive step: bounded reads until the socket has nothing more for now, the request is
    // complete or the held bytes reach their bound. A connection that keeps delivering yields to the
    // others; its notifier calls again.
    void receive(quint64 id) {
        for (int reads = 0; reads < 16; ++reads) {
            Connection* connection = find(id);
            if (!connection || connection->phase != Phase::Reading || connection->waitingForMemory) {
                return;
            }
            qint64 room = LocalHttp::readChunkBytes;
            if (m_held >= m_maxHeldBytes && !connection->receipt.nextReadIsHeld() && id != m_pastTheBound) {
                if (!isSmall(*connection)) {
                    waitForMemory(*connection);
                    return;
                }
                room = smallRequestBytes - connection->held;
            }
            const int descriptor = connection->descriptor;
            const qint64 read = connection->receipt.readOnce([descriptor, room](char* into, qint64 capacity) {
                return receiveSome(descriptor, into, std::min(capacity, room));
            });
            if (read < 0) {
                removeConnection(id); // the peer finished or failed before the request was complete
                return;
            }
            charge(*connection, connection->receipt.reservedBytes());
            if (read == 0) {
                return;
            }
            using State = LocalHttp::RequestReceipt::State;
            switch (connection->receipt.state()) {
            case State::Head:
            case State::Unparseable:
                break; // the deadline set at accept stands: a head must arrive whole in time
            case State::Body:
                m_headReaders.erase(id);
                setDeadline(*connection, bodyDeadline(*connection)); // a body need only keep moving
                break;
            case State::Complete:
                route(*connection);
                return;
            case State::BadRequest:
                answerNow(*connection, 400, QByteArrayLiteral("bad request"));
                return;
            case State::TooLarge:
                answerNow(*connection, 413, QByteArrayLiteral("too large"));
                return;
            case State::Overflow:
                removeConnection(id);
                return;
            }
        }
    }

    bool isSmall(const Connection& connection) const {
        const bool smallBody = connection.receipt.state() != LocalHttp::RequestReceipt::State::Body ||
                               connection.receipt.request().contentLength <= smallRequestBytes;
        return smallBody && connection.held < smallRequestBytes;
    }

    qint64 bodyDeadline(const Connection& connection) const {
        return std::min(m_clock.elapsed() + m_requestTimeout, connection.acceptedAt + m_requestDeadline);
    }

    // --- the bytes held across connections ------------------------------------------------------

    void charge(Connection& connection, qint64 bytes) {
        const qint64 change = bytes - connection.held;
        if (change == 0) {
            return;
        }
        connection.held = bytes;
        m_held += change;
        if (connection.waitingForMemory) {
            m_heldByWaiters += change;
        }
        m_owner->m_heldBytes.store(m_held, std::memory_order_relaxed);
        if (m_held > m_owner->m_peakHeldBytes.load(std::memory_order_relaxed)) {
            m_owner->m_peakHeldBytes.store(m_held, std::memory_order_relaxed);
        }
        if (change < 0) {
            m_held < m_maxHeldBytes ? resumeMemoryWaiters() : letOneWaiterPast();
        }
    }

    // The peer is not read from until bytes are released; the time it waits is ours, so only the
    // total deadline runs meanwhile.
    void waitForMemory(Connection& connection) {
        connection.waitingForMemory = true;
        connection.notifier->setEnabled(false);
        m_memoryWaiters.insert(connection.id);
        m_heldByWaiters += connection.held;
        setDeadline(connection, connection.acceptedAt + m_requestDeadline);
        letOneWaiterPast();
    }

    // Nothing would release bytes while only waiting connections hold them: the one that came first
    // goes on past the bound, alone, so that the bound is exceeded by one request at most.
    void letOneWaiterPast() {
        if (m_pastTheBound == 0 && !m_memoryWaiters.empty() && m_held >= m_maxHeldBytes &&
            m_heldByWaiters == m_held) {
            m_pastTheBound = *m_memoryWaiters.begin();
            resume(*find(m_pastTheBound));
        }
    }

    void resume(Connection& connection) {
        m_memoryWaiters.erase(connection.id);
        m_heldByWaiters -= connection.held;
        connection.waitingForMemory = false;
        connection.notifier->setEnabled(true);
        setDeadline(connection, m_headReaders.contains(connection.id)
                                    ? connection.acceptedAt + std::min(m_requestTimeout, m_requestDeadline)
                                    : bodyDeadline(connection));
    }

    void resumeMemoryWaiters() {
        while (!m_memoryWaiters.empty()) {
            resume(*find(*m_memoryWaiters.begin()));
        }
    }

    // --- routing and answering ------------------------------------------------------------------

    // From here nothing more is read: one request per connection.
    void stopReading(Connection& connection) {
        if (connection.phase != Phase::Reading) {
            return;
        }
        connection.receipt = {};
        connection.phase = Phase::Routed;
        --m_reading;
        m_headReaders.erase(connection.id);
        dropNotifier(connection.notifier);
        resumeAccepting();
        if (m_pastTheBound == connection.id) {
            m_pastTheBound = 0;
            letOneWaiterPast();
        }
    }

    void answerNow(Connection& connection, int status, const QByteArray& body) {
        stopReading(connection);
        charge(connection, 0);
        deliver({connection.id}, LocalHttp::responseBytes(status, body, textPlain));
    }

    void route(Connection& connection) {
        const LocalHttp::Request request = connection.receipt.request();
        QByteArray body = connection.receipt.takeBody();
        stopReading(connection);
        const bool look = request.method == u"POST" && request.path == u"/v1/luts";
        // A look's body stays counted while it is decoded; the look then counts until the engine
        // has answered for it.
        charge(connection, look ? body.capacity() : 0);
        const quint64 id = connection.id;
        LocalServer* owner = m_owner;
        if (request.method == u"GET" && request.path == u"/v1/hello") {
            QMetaObject::invokeMethod(owner, [owner, id] { owner->answerHello(id); });
        } else if (look) {
            Decoded<Incoming> decoded = IncomingBody::decode(std::exchange(body, QByteArray()));
            if (!decoded) {
                answerNow(connection, 400, QByteArrayLiteral("bad request"));
                return;
            }
            charge(connection, decoded->cube.size() * qint64(sizeof(QChar)));
            QMetaObject::invokeMethod(owner, [owner, id, incoming = std::move(decoded).value()]() mutable {
                owner->answerLuts(id, std::move(incoming));
            });
        } else if (request.method == u"GET" && request.path == u"/v1/inbox") {
            const QString sinceText = request.query.value(QStringLiteral("since"));
            const qint64 since = LocalHttp::decimalInteger(sinceText).value_or(-1);
            QMetaObject::invokeMethod(owner, [owner, id, since] { owner->answerInbox({id}, since, false); });
        } else if (request.method == u"GET" && request.path.startsWith(u"/v1/inbox/")) {
            const QString name = request.path.mid(10);
            QMetaObject::invokeMethod(owner, [owner, id, name] { owner->answerFile(id, name); });
        } else {
            answerNow(connection, 404, QByteArrayLiteral("not found"));
        }
    }

    // Sends what the socket takes now: the bytes of the answer, then its file in pieces read as
    // they go, so that a peer that does not read costs a descriptor, not a copy of the file.
    void sendMore(quint64 id) {
        Connection* connection = find(id);
        if (!connection || connection->phase != Phase::Answering) {
            return;
        }
        const qint64 fileSize = connection->file ? connection->file->size() : 0;
        bool moved = false;
        // A bounded number of pieces, so that a fast reader of a large file does not hold up the
        // others; the notifier calls again while the socket has room.
        for (int pieces = 0; pieces < 16; ++pieces) {
            qint64 sent = 0;
            qint64 offered = 0;
            if (connection->answerSent < connection->answer.size()) {
                offered = connection->answer.size() - connection->answerSent;
                sent = sendSome(connection->descriptor,
                                connection->answer.constData() + connection->answerSent, offered);
                connection->answerSent += std::max<qint64>(sent, 0);
            } else if (connection->fileSent < fileSize) {
                offered = std::min(filePieceBytes, fileSize - connection->fileSent);
                if (m_piece.size() < offered) {
                    m_piece.resize(filePieceBytes);
                }
                // A file cut short after it was opened cannot give the length already announced.
                const ssize_t read = ::pread(connection->file->descriptor(), m_piece.data(), size_t(offered),
                                             connection->fileSent);
                if (read <= 0) {
                    removeConnection(id);
                    return;
                }
                offered = read;
                sent = sendSome(connection->descriptor, m_piece.constData(), offered);
                connection->fileSent += std::max<qint64>(sent, 0);
            } else {
                removeConnection(id); // all sent
                return;
            }
            if (sent < 0) {
                removeConnection(id);
                return;
            }
            moved = moved || sent > 0;
            if (sent < offered) {
                break;
            }
        }
        charge(*connection, connection->answer.size() - connection->answerSent);
        // A slow reader may take as long as it needs for an answer that keeps moving; only one that
        // stalls for the whole timeout is closed.
        setDeadline(*connection, moved ? m_clock.elapsed() + m_requestTimeout : connection->deadline);
        watch(*connection, QSocketNotifier::Write);
    }

    void wake(QList<quint64> connections) {
        if (connections.isEmpty()) {
            return;
        }
        LocalServer* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, connections = std::move(connections)] {
            owner->answerInbox(connections, -1, true);
        });
    }

    void expireWaiters() {
        const qint64 now = m_clock.elapsed();
        QList<quint64> connections;
        while (!m_waiterDeadlines.empty() && m_waiterDeadlines.front().first <= now) {
            const auto taken = m_waiters.find(m_waiterDeadlines.front().second);
            if (taken != m_waiters.end()) {
                connections.append(*taken);
                m_waiters.erase(taken);
            }
            m_waiterDeadlines.pop_front();
        }
        if (!m_waiterDeadlines.empty()) {
            m_waiterTimer.start(std::max<qint64>(0, m_waiterDeadlines.front().first - now));
        }
        wake(std::move(connections));
    }

    // --- deadlines and closing ------------------------------------------------------------------

    // Connections that are reading or answering have a deadline; routed ones wait for their
    // answer (a parked inbox request has its own timeout). An entry that comes due early is put
    // back at the connection's current deadline.
    void setDeadline(Connection& connection, qint64 deadline) {
        connection.deadline = deadline;
        if (connection.deadlineEntry && connection.deadlineEntry->first <= deadline) {
            return;
        }
        if (connection.deadlineEntry) {
            m_deadlines.erase(*connection.deadlineEntry);
        }
        connection.deadlineEntry = std::pair(deadline, connection.id);
        m_deadlines.insert(*connection.deadlineEntry);
        scheduleDeadlineTimer();
    }

    void scheduleDeadlineTimer() {
        if (m_deadlines.empty()) {
            m_deadlineTimer.stop();
            return;
        }
        const qint64 due = std::max<qint64>(0, m_deadlines.begin()->first - m_clock.elapsed());
        if (!m_deadlineTimer.isActive() || m_deadlineTimer.remainingTime() > due) {
            m_deadlineTimer.start(int(due));
        }
    }

    void expireConnections() {
        const qint64 now = m_clock.elapsed();
        while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
            const quint64 id = m_deadlines.begin()->second;
            m_deadlines.erase(m_deadlines.begin());
            Connection* connection = find(id);
            if (!connection) {
                continue;
            }
            connection->deadlineEntry.reset();
            if (connection->phase == Phase::Routed) {
                continue;
            }
            if (connection->deadline > now) {
                setDeadline(*connection, connection->deadline);
                continue;
            }
            removeConnection(id);
        }
        scheduleDeadlineTimer();
    }

    void removeConnection(quint64 id) {
        const auto found = m_connections.find(id);
        if (found == m_connections.end()) {
            return;
        }
        std::unique_ptr<Connection> connection = std::move(found->second);
        m_connections.erase(found);
        m_headReaders.erase(id);
        if (connection->phase == Phase::Reading) {
            --m_reading;
        }
        if (connection->waitingForMemory) {
            m_memoryWaiters.erase(id);
            m_heldByWaiters -= connection->held;
            connection->waitingForMemory = false;
        }
        if (m_pastTheBound == id) {
            m_pastTheBound = 0;
        }
        if (connection->deadlineEntry) {
            m_deadlines.erase(*connection->deadlineEntry);
        }
        if (connection->file) {
            --m_openFiles;
        }
        dropNotifier(connection->notifier);
        ::close(connection->descriptor);
        charge(*connection, 0);
        letOneWaiterPast();
        resumeAccepting();
    }

    void dropConnections() {
        std::vector<quint64> ids;
        ids.reserve(m_connections.size());
        for (const auto& entry : m_connections) {
            ids.push_back(entry.first);
        }
        for (const quint64 id : ids) {
            removeConnection(id);
        }
        m_deadlines.clear();
        m_deadlineTimer.stop();
    }

    LocalServer* const m_owner;
    const QPointer<ServiceAdvertiser> m_advertiser;
    const QString m_computerName;
    const quint16 m_preferredPort;
    const qint64 m_longPollTimeout;
    const qint64 m_requestTimeout;
    const qint64 m_requestDeadline;
    const qint64 m_maxDescriptors;
    const qint64 m_maxHeldBytes;
    const QHostAddress m_listenAddress;

    QElapsedTimer m_clock;
    bool m_tearingDown = false;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_listenerNotifier;
    QTimer m_acceptTimer{this};
    qint64 m_descriptorBudget = 1;
    bool m_triedAnyPort = false;
    quint64 m_lastConnectionId = 0;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    qint64 m_openFiles = 0;
    qint64 m_reading = 0;
    // Connections still reading their head, oldest first (ids rise with every accept).
    std::set<quint64> m_headReaders;

    qint64 m_held = 0;
    qint64 m_heldByWaiters = 0;
    std::set<quint64> m_memoryWaiters; // in the order they were accepted
    quint64 m_pastTheBound = 0;        // the one connection let past the bound, if any
    QByteArray m_piece; // one piece of a file on its way out; shared, since sending is one at a time

    std::set<std::pair<qint64, quint64>> m_deadlines;
    QTimer m_deadlineTimer{this};

    // Parked GET /v1/inbox requests and their timeouts, in the order they were parked: every
    // waiter has the same timeout, so the front is always the next to expire.
    QHash<QUuid, quint64> m_waiters;
    std::deque<std::pair<qint64, QUuid>> m_waiterDeadlines;
    QTimer m_waiterTimer{this};
};

LocalServer::LocalServer(ServiceAdvertiser* advertiser, QString computerName, quint16 preferredPort,
                         std::chrono::milliseconds longPollTimeout, std::chrono::milliseconds requestTimeout,
                         QHostAddress listenAddress, Limits limits, QObject* parent)
    : QObject(parent) {
    m_thread.setObjectName(QStringLiteral("com.quillfen.tonewharf.local"));
    m_worker = new LocalServerWorker(this, advertiser, std::move(computerName), preferredPort,
                                     longPollTimeout, requestTimeout, std::move(listenAddress), limits);
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

LocalServer::~LocalServer() {
    m_thread.quit();
    m_thread.wait();
}

void LocalServer::start() {
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->start(); });
}

void LocalServer::stop() {
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->stop(); });
}

void LocalServer::notifyInboxChanged() {
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->notifyInboxChanged(); });
}

void LocalServer::send(QList<quint64> connections, int status, const QByteArray& body,
                       QByteArrayView contentType) {
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, connections = std::move(connections),
                                       bytes = LocalHttp::responseBytes(status, body, contentType)] {
        worker->deliver(connections, bytes);
    });
}

void LocalServer::answerHello(quint64 connection) {
    QJsonObject object;
    if (identity) {
        const QMap<QString, QString> map = identity();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            object.insert(it.key(), it.value());
        }
    }
    QByteArray body = Json::compact(object);
    if (body.isEmpty()) {
        body = QByteArrayLiteral("{}");
    }
    send({connection}, 200, body, applicationJson);
}

void LocalServer::answerLuts(quint64 connection, Incoming incoming) {
    const auto answer = [this, connection](bool ok) {
        send({connection}, ok ? 200 : 500,
             ok ? QByteArrayLiteral("{\"ok\":true}") : QByteArrayLiteral("{\"ok\":false}"), applicationJson);
    };
    if (!receiveLUT) {
        answer(false);
        return;
    }
    QCoro::connect(receiveLUT(std::move(incoming)), this, answer);
}

void LocalServer::answerInbox(QList<quint64> connections, qint64 since, bool force) {
    const InboxSnapshot snapshot = inbox ? inbox() : InboxSnapshot{};
    if (!force && snapshot.seq == since) {
        LocalServerWorker* worker = m_worker;
        QMetaObject::invokeMethod(
            worker, [worker, connections = std::move(connections)] { worker->addInboxWaiters(connections); });
        return;
    }
    QByteArray body = snapshot.encode();
    if (body.isEmpty()) {
        body = QByteArrayLiteral("{}");
    }
    send(std::move(connections), 200, body, applicationJson);
}

void LocalServer::answerFile(quint64 connection, const QString& name) {
    std::optional<RegularFile> file = inboxFile ? inboxFile(name) : std::nullopt;
    if (!file) {
        send({connection}, 404, QByteArrayLiteral("not found"), textPlain);
        return;
    }
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, connection, head = LocalHttp::responseHead(200, file->size(), textPlain),
                 file = std::move(file)]() mutable { worker->deliver({connection}, head, std::move(file)); });
}

void LocalServer::reportPort(std::optional<quint16> port) {
    if (onPortChange) {
        onPortChange(port);
    }
}
