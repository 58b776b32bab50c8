#include "local/LocalServer.h"

#include "local/IncomingBody.h"
#include "local/RequestReceipt.h"
#include "platform/ServiceAdvertiser.h"
#include "records/JsonDecoding.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

#include <deque>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray textPlain = QByteArrayLiteral("text/plain");
const QByteArray applicationJson = QByteArrayLiteral("application/json");

// Hands every accepted socket descriptor to the worker instead of queueing QTcpSocket objects,
// so that the worker can open it unbuffered and decide itself how much to read.
class Listener : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

} // namespace

// Everything that touches sockets; lives on the server's own thread.
class LocalServerWorker : public QObject {
public:
    LocalServerWorker(LocalServer* owner, ServiceAdvertiser* advertiser, QString computerName,
                      quint16 preferredPort, std::chrono::milliseconds longPollTimeout,
                      std::chrono::milliseconds requestTimeout, QHostAddress listenAddress)
        : m_owner(owner)
        , m_advertiser(advertiser)
        , m_computerName(std::move(computerName))
        , m_preferredPort(preferredPort)
        , m_longPollTimeout(longPollTimeout.count())
        , m_requestTimeout(requestTimeout.count())
        , m_listenAddress(std::move(listenAddress)) {
        m_clock.start();
        m_deadlineTimer.setSingleShot(true);
        m_deadlineTimer.setTimerType(Qt::CoarseTimer);
        QObject::connect(&m_deadlineTimer, &QTimer::timeout, this, [this] { expireConnections(); });
        m_waiterTimer.setSingleShot(true);
        m_waiterTimer.setTimerType(Qt::CoarseTimer);
        QObject::connect(&m_waiterTimer, &QTimer::timeout, this, [this] { expireWaiters(); });
    }

    ~LocalServerWorker() override {
        // Nothing runs on this thread after this; what is closed now is deleted now.
        m_tearingDown = true;
        closeListener();
        dropConnections();
    }

    void start() {
        if (m_listener) {
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
            const auto found = m_connections.find(connection);
            if (found == m_connections.end()) {
                continue;
            }
            park(*found->second);
            const QUuid id = QUuid::createUuid();
            m_waiters.insert(id, connection);
            m_waiterDeadlines.emplace_back(deadline, id);
        }
        if (!m_waiterTimer.isActive() && !m_waiterDeadlines.empty()) {
            m_waiterTimer.start(std::max<qint64>(0, m_waiterDeadlines.front().first - m_clock.elapsed()));
        }
    }

    // Writes one complete answer to each connection that is still waiting for one, then closes it
    // once the bytes are out.
    void deliver(const QList<quint64>& connections, const QByteArray& bytes) {
        for (const quint64 id : connections) {
            const auto found = m_connections.find(id);
            if (found == m_connections.end() || found->second->phase != Phase::Routed) {
                continue;
            }
            Connection& connection = *found->second;
            if (!connection.socket) {
                // A parked connection: an answer that fits the socket's send buffer goes out at once,
                // without bringing back a socket object for it.
                const qint64 sent = sendParked(connection.parkedDescriptor, bytes);
                if (sent == bytes.size() || sent < 0) {
                    removeConnection(id); // sent and closed, or failed
                    continue;
                }
                if (!unpark(connection)) {
                    removeConnection(id);
                    continue;
                }
                connection.phase = Phase::Answering;
                connection.deadline = m_clock.elapsed() + m_requestTimeout;
                watchDeadline(connection);
                if (connection.socket->write(bytes.sliced(sent)) != bytes.size() - sent) {
                    removeConnection(id);
                    continue;
                }
                connection.socket->disconnectFromHost();
                continue;
            }
            connection.phase = Phase::Answering;
            connection.deadline = m_clock.elapsed() + m_requestTimeout;
            watchDeadline(connection);
            QTcpSocket* socket = connection.socket;
            if (socket->write(bytes) != bytes.size()) {
                removeConnection(id);
                continue;
            }
            socket->disconnectFromHost(); // closes once the answer is written; may remove it at once
        }
    }

private:
    enum class Phase { Reading, Routed, Answering };

    struct Connection {
        quint64 id = 0;
        QTcpSocket* socket = nullptr;
        int parkedDescriptor = -1; // a parked connection holds only its descriptor
        Phase phase = Phase::Reading;
        LocalHttp::RequestReceipt receipt;
        qint64 deadline = 0;
        std::optional<std::pair<qint64, quint64>> deadlineEntry;
    };

    void startListener(quint16 port) {
        auto listener = std::make_unique<Listener>();
        listener->setListenBacklogSize(1024);
        listener->onIncoming = [this](qintptr descriptor) { accept(descriptor); };
        if (!listener->listen(m_listenAddress, port)) {
            if (port == 0) {
                return; // nothing left to try; no listener and no report
            }
            m_triedAnyPort = true;
            startListener(0);
            return;
        }
        Listener* raw = listener.get();
        QObject::connect(raw, &QTcpServer::acceptError, this,
                         [this, raw](QAbstractSocket::SocketError error) { listenerFailed(raw, error); });
        m_listener = std::move(listener);
        const quint16 chosen = m_listener->serverPort();
        if (m_advertiser) {
            m_advertiser->advertise({m_computerName, LocalServer::serviceType, chosen, {{"v", "1"}}});
        }
        reportPort(chosen);
    }

    void listenerFailed(Listener* listener, QAbstractSocket::SocketError error) {
        if (listener != m_listener.get()) {
            return;
        }
        // accept() also reports what befell one incoming connection (aborted before it was taken,
        // refused by a firewall rule, a protocol error): that costs the connection, not the port,
        // and moving the port would lose the iPads that know it. Running out of descriptors passes
        // once connections close. Qt has paused accepting; a listener that still listens takes it up
        // again, after a moment when resources ran out.
        if (stillListening(*listener)) {
            const int delay = error == QAbstractSocket::SocketResourceError ? 100 : 0;
            QTimer::singleShot(delay, listener, [listener] { listener->resumeAccepting(); });
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

    static bool stillListening(const QTcpServer& listener) {
        const int descriptor = int(listener.socketDescriptor());
        int listening = 0;
        socklen_t size = sizeof listening;
        return ::getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
    }

    void closeListener() {
        if (!m_listener) {
            return;
        }
        m_listener->close();
        if (m_tearingDown) {
            m_listener.reset();
        } else {
            m_listener.release()->deleteLater();
        }
        if (m_advertiser) {
            m_advertiser->withdraw();
        }
    }

    void reportPort(std::optional<quint16> port) {
        LocalServer* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, port] { owner->reportPort(port); });
    }

    // Not a child of this object: with thousands of parked connections, every removal from a
    // children list would cost a scan of it.
    QTcpSocket* openSocket(quint64 id, qintptr descriptor, QIODevice::OpenMode mode = QIODevice::ReadWrite) {
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState,
                                         mode | QIODevice::Unbuffered)) {
            delete socket;
            return nullptr;
        }
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, id] { receive(id); });
        QObject::connect(socket, &QTcpSocket::bytesWritten, this, [this, id] { answerMoved(id); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, id] { removeConnection(id); });
        QObject::connect(socket, &QTcpSocket::errorOccurred, this,
                         [this, id](QAbstractSocket::SocketError error) { socketFailed(id, error); });
        return socket;
    }

    // A slow reader may take as long as it needs for an answer that keeps moving; only one that
    // stalls for the whole timeout is closed.
    void answerMoved(quint64 id) {
        const auto found = m_connections.find(id);
        if (found != m_connections.end() && found->second->phase == Phase::Answering) {
            found->second->deadline = m_clock.elapsed() + m_requestTimeout;
        }
    }

    void accept(qintptr descriptor) {
        const quint64 id = ++m_lastConnectionId;
        QTcpSocket* socket = openSocket(id, descriptor);
        if (!socket) {
            ::close(int(descriptor));
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->id = id;
        connection->socket = socket;
        connection->deadline = m_clock.elapsed() + m_requestTimeout;
        watchDeadline(*connection);
        m_connections.emplace(id, std::move(connection));
        receive(id);
    }

    // A routed connection keeps only a duplicate of its descriptor until its answer is due: its
    // socket object and with it the socket's notifiers go away. Nothing more is read (one request
    // per connection), so a peer that finishes its side after the request still gets the answer,
    // and thousands of parked long-polls cost no notifiers, which event dispatchers scan (glib's
    // on every change).
    void park(Connection& connection) {
        if (!connection.socket) {
            return;
        }
        // Close-on-exec like every descriptor Qt opens: a child started meanwhile (the Resolve
        // bridge) must not keep the iPad's connection open.
        const int descriptor = ::fcntl(int(connection.socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        if (descriptor < 0) {
            return; // stays a socket; it is answered all the same
        }
        QTcpSocket* socket = std::exchange(connection.socket, nullptr);
        connection.parkedDescriptor = descriptor;
        socket->disconnect(this);
        socket->abort(); // closes only this object's descriptor; the connection lives on in the duplicate
        socket->deleteLater();
    }

    // Bytes written without waiting, or -1 when the connection failed.
    static qint64 sendParked(int descriptor, const QByteArray& bytes) {
        qint64 sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(descriptor, bytes.constData() + sent, size_t(bytes.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return sent;
            } else {
                return -1;
            }
        }
        return sent;
    }

    bool unpark(Connection& connection) {
        const int descriptor = std::exchange(connection.parkedDescriptor, -1);
        // Only the rest of the answer goes out on it; nothing is read any more.
        connection.socket = openSocket(connection.id, descriptor, QIODevice::WriteOnly);
        if (!connection.socket) {
            ::close(descriptor);
        }
        return connection.socket != nullptr;
    }

    // One receive step: bounded reads until the socket has nothing more for now. A connection that
    // keeps delivering yields to the others and continues from the event queue; Qt does not notify
    // again about bytes that were already pending when the reads stopped.
    void receive(quint64 id) {
        for (int reads = 0; reads < 16; ++reads) {
            const auto found = m_connections.find(id);
            if (found == m_connections.end()) {
                return;
            }
            Connection& connection = *found->second;
            if (connection.phase != Phase::Reading) {
                return; // one request per connection: whatever follows it is never read
            }
            QTcpSocket* socket = connection.socket;
            const qint64 read = connection.receipt.readOnce(
                [socket](char* into, qint64 capacity) { return socket->read(into, capacity); });
            if (read < 0) {
                removeConnection(id); // the peer finished or failed before the request was complete
                return;
            }
            if (read == 0) {
                return;
            }
            using State = LocalHttp::RequestReceipt::State;
            switch (connection.receipt.state()) {
            case State::Head:
            case State::Unparseable:
                break; // the deadline set at accept stands: a head must arrive whole in time
            case State::Body:
                connection.deadline = m_clock.elapsed() + m_requestTimeout; // a body need only keep moving
                break;
            case State::Complete:
                route(connection);
                break;
            case State::BadRequest:
                answerNow(connection, 400, QByteArrayLiteral("bad request"));
                break;
            case State::TooLarge:
                answerNow(connection, 413, QByteArrayLiteral("too large"));
                break;
            case State::Overflow:
                removeConnection(id);
                return;
            }
        }
        QMetaObject::invokeMethod(
            this, [this, id] { receive(id); }, Qt::QueuedConnection);
    }

    void answerNow(Connection& connection, int status, const QByteArray& body) {
        connection.phase = Phase::Routed;
        connection.receipt = {};
        park(connection);
        deliver({connection.id}, LocalHttp::responseBytes(status, body, textPlain));
    }

    void route(Connection& connection) {
        const LocalHttp::Request request = connection.receipt.request();
        QByteArray body = connection.receipt.takeBody();
        connection.receipt = {};
        connection.phase = Phase::Routed;
        park(connection);
        const quint64 id = connection.id;
        LocalServer* owner = m_owner;
        if (request.method == u"GET" && request.path == u"/v1/hello") {
            QMetaObject::invokeMethod(owner, [owner, id] { owner->answerHello(id); });
        } else if (request.method == u"POST" && request.path == u"/v1/luts") {
            Decoded<Incoming> decoded = IncomingBody::decode(std::exchange(body, QByteArray()));
            if (!decoded) {
                answerNow(connection, 400, QByteArrayLiteral("bad request"));
                return;
            }
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

    // Connections that are reading or answering have a deadline; routed ones wait for their
    // answer (a parked inbox request has its own timeout).
    void watchDeadline(Connection& connection) {
        if (connection.deadlineEntry) {
            return;
        }
        connection.deadlineEntry = std::pair(connection.deadline, connection.id);
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
            m_deadlineTimer.start(due);
        }
    }

    void expireConnections() {
        const qint64 now = m_clock.elapsed();
        while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
            const quint64 id = m_deadlines.begin()->second;
            m_deadlines.erase(m_deadlines.begin());
            const auto found = m_connections.find(id);
            if (found == m_connections.end()) {
                continue;
            }
            Connection& connection = *found->second;
            connection.deadlineEntry.reset();
            if (connection.phase == Phase::Routed) {
                continue;
            }
            const bool readingHead = connection.phase == Phase::Reading &&
                                     connection.receipt.state() != LocalHttp::RequestReceipt::State::Body;
            if (connection.deadline > now && !readingHead) {
                watchDeadline(connection);
                continue;
            }
            removeConnection(id);
        }
        scheduleDeadlineTimer();
    }

    void socketFailed(quint64 id, QAbstractSocket::SocketError error) {
        const auto found = m_connections.find(id);
        if (found == m_connections.end()) {
            return;
        }
        // A peer that has sent its whole request may finish its side and still wait for the
        // answer; only a reading connection is closed by the end of its input.
        const Phase phase = found->second->phase;
        if (error == QAbstractSocket::RemoteHostClosedError &&
            (phase == Phase::Routed || phase == Phase::Answering)) {
            return;
        }
        removeConnection(id);
    }

    void removeConnection(quint64 id) {
        const auto found = m_connections.find(id);
        if (found == m_connections.end()) {
            return;
        }
        std::unique_ptr<Connection> connection = std::move(found->second);
        m_connections.erase(found);
        if (connection->deadlineEntry) {
            m_deadlines.erase(*connection->deadlineEntry);
        }
        if (connection->parkedDescriptor >= 0) {
            ::close(connection->parkedDescriptor);
        }
        QTcpSocket* socket = connection->socket;
        if (!socket) {
            return;
        }
        socket->disconnect(this);
        socket->abort();
        if (m_tearingDown) {
            delete socket;
        } else {
            socket->deleteLater(); // this may run inside one of its own signals
        }
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
    const QHostAddress m_listenAddress;

    QElapsedTimer m_clock;
    bool m_tearingDown = false;
    std::unique_ptr<Listener> m_listener;
    bool m_triedAnyPort = false;
    quint64 m_lastConnectionId = 0;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;

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
                         QHostAddress listenAddress, QObject* parent)
    : QObject(parent) {
    m_thread.setObjectName(QStringLiteral("com.quillfen.tonewharf.local"));
    m_worker = new LocalServerWorker(this, advertiser, std::move(computerName), preferredPort,
                                     longPollTimeout, requestTimeout, std::move(listenAddress));
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
    const std::optional<QByteArray> bytes = inboxFile ? inboxFile(name) : std::nullopt;
    if (bytes) {
        send({connection}, 200, *bytes, textPlain);
    } else {
        send({connection}, 404, QByteArrayLiteral("not found"), textPlain);
    }
}

void LocalServer::reportPort(std::optional<quint16> port) {
    if (onPortChange) {
        onPortChange(port);
    }
}
