#include "local/ServerConnections.h"

#include "local/Sockets.h"

#include <algorithm>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// At the connection budget, a connection that has not sent its whole head this long after it was
// accepted makes room for a new one.
constexpr qint64 evictableAfterMs = 1000;
// Pieces in which a file is read and sent.
constexpr qint64 filePieceBytes = 256 * 1024;
// The system's buffer for a file on its way out. Left to itself it grows to megabytes per
// connection, and a few hundred readers that never read then starve every other connection of the
// system's memory; this much in flight still fills a local network.
constexpr int fileSendBufferBytes = 256 * 1024;

} // namespace

ServerConnections::ServerConnections(ConnectionBudget& budget, std::chrono::milliseconds requestTimeout,
                                     std::chrono::milliseconds requestDeadline, QObject* parent)
    : QObject(parent)
    , m_budget(budget)
    , m_requestTimeout(requestTimeout.count())
    , m_requestDeadline(requestDeadline.count())
    , m_deadlines(
          m_clock, [this](quint64 id, qint64 now) { due(id, now); }, this) {
    m_clock.start();
}

ServerConnections::~ServerConnections() {
    // Nothing runs on this thread after this; what is closed now is deleted now.
    m_tearingDown = true;
    closeAll();
}

ServerConnections::Connection* ServerConnections::find(quint64 id) {
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.get();
}

// --- reading a request --------------------------------------------------------------------------

void ServerConnections::take(int descriptor) {
    const quint64 id = ++m_lastId;
    auto connection = std::make_unique<Connection>();
    connection->id = id;
    connection->descriptor = descriptor;
    connection->acceptedAt = m_clock.elapsed();
    Connection& added = *m_connections.emplace(id, std::move(connection)).first->second;
    m_headReaders.insert(id);
    m_budget.connectionOpened();
    // Most requests are complete by now: they are handed over without ever being watched or given a
    // place among the deadlines.
    added.deadline = headDeadline(added);
    readRequest(id);
}

// One receive step: bounded reads until the socket has nothing more for now, the request is
// complete or the held bytes reach their bound. A connection that keeps delivering yields to the
// others; its notifier calls again.
void ServerConnections::readRequest(quint64 id) {
    for (int reads = 0; reads < 16; ++reads) {
        Connection* connection = find(id);
        if (!connection || connection->phase != Phase::Reading || connection->held.waiting) {
            return;
        }
        qint64 room = LocalHttp::readChunkBytes;
        if (m_budget.boundReached(id) && !connection->receipt.nextReadIsHeld()) {
            if (!isSmall(*connection)) {
                waitForMemory(*connection);
                return;
            }
            room = ConnectionBudget::smallRequestBytes - connection->held.bytes;
        }
        const int descriptor = connection->descriptor;
        const qint64 read = connection->receipt.readOnce([descriptor, room](char* into, qint64 capacity) {
            return Sockets::receiveSome(descriptor, into, std::min(capacity, room));
        });
        if (read < 0) {
            closeConnection(id); // the peer finished or failed before the request was complete
            return;
        }
        m_budget.charge(connection->held, connection->receipt.reservedBytes());
        if (read == 0) {
            awaitMore(*connection);
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
            closeConnection(id);
            return;
        }
    }
    if (Connection* connection = find(id); connection && !connection->held.waiting) {
        awaitMore(*connection);
    }
}

bool ServerConnections::isSmall(const Connection& connection) const {
    const bool smallBody = connection.receipt.state() != LocalHttp::RequestReceipt::State::Body ||
                           connection.receipt.request().contentLength <= ConnectionBudget::smallRequestBytes;
    return smallBody && connection.held.bytes < ConnectionBudget::smallRequestBytes;
}

// Reading goes on once the peer sends more, within the connection's deadline.
void ServerConnections::awaitMore(Connection& connection) {
    watch(connection, QSocketNotifier::Read);
    if (!connection.deadlineEntry) {
        setDeadline(connection, connection.deadline);
    }
}

void ServerConnections::watch(Connection& connection, QSocketNotifier::Type type) {
    if (connection.notifier && connection.notifier->type() == type) {
        connection.notifier->setEnabled(true);
        return;
    }
    Sockets::dropNotifier(connection.notifier, m_tearingDown);
    connection.notifier = std::make_unique<QSocketNotifier>(qintptr(connection.descriptor), type);
    const quint64 id = connection.id;
    if (type == QSocketNotifier::Read) {
        QObject::connect(connection.notifier.get(), &QSocketNotifier::activated, this,
                         [this, id] { readRequest(id); });
    } else {
        QObject::connect(connection.notifier.get(), &QSocketNotifier::activated, this,
                         [this, id] { sendMore(id); });
    }
}

// The peer is not read from until bytes are released; the time it waits is ours, so only the total
// deadline runs meanwhile.
void ServerConnections::waitForMemory(Connection& connection) {
    if (connection.notifier) {
        connection.notifier->setEnabled(false);
    }
    setDeadline(connection, connection.acceptedAt + m_requestDeadline);
    m_budget.waitForRelease(connection.id, connection.held);
}

void ServerConnections::resumeReading(quint64 id) {
    Connection& connection = *find(id);
    watch(connection, QSocketNotifier::Read);
    setDeadline(connection, m_headReaders.contains(id) ? headDeadline(connection) : bodyDeadline(connection));
}

// --- handing over and answering -----------------------------------------------------------------

// From here nothing more is read: one request per connection.
void ServerConnections::stopReading(Connection& connection) {
    if (connection.phase != Phase::Reading) {
        return;
    }
    connection.receipt = {};
    connection.phase = Phase::Routed;
    m_headReaders.erase(connection.id);
    Sockets::dropNotifier(connection.notifier, m_tearingDown);
    m_budget.readingEnded(connection.id);
}

void ServerConnections::route(Connection& connection) {
    LocalHttp::Request request = connection.receipt.request();
    QByteArray body = connection.receipt.takeBody();
    stopReading(connection);
    onRequest(connection.id, std::move(request), std::move(body));
}

void ServerConnections::hold(quint64 connection, qint64 bytes) {
    if (Connection* held = find(connection)) {
        m_budget.charge(held->held, bytes);
    }
}

void ServerConnections::answer(quint64 connection, int status, const QByteArray& body) {
    if (Connection* answered = find(connection)) {
        answerNow(*answered, status, body);
    }
}

void ServerConnections::answerNow(Connection& connection, int status, const QByteArray& body) {
    stopReading(connection);
    m_budget.charge(connection.held, 0);
    deliver({connection.id}, LocalHttp::responseBytes(status, body, LocalHttp::textPlain));
}

void ServerConnections::deliver(const QList<quint64>& connections, const QByteArray& bytes,
                                std::optional<RegularFile> file) {
    // A wake answers thousands at once. Each answer goes out with the end of its connection, and the
    // descriptors are closed after the last one: closing one costs about as much again as answering
    // it, and the last iPad need not wait for that.
    m_closeLater = connections.size() > 1;
    for (const quint64 id : connections) {
        Connection* connection = find(id);
        if (!connection || connection->phase != Phase::Routed) {
            continue;
        }
        connection->phase = Phase::Answering;
        connection->answer = bytes;
        if (file) {
            connection->file = std::move(file);
            m_budget.fileOpened();
            Sockets::limitSendBuffer(connection->descriptor, fileSendBufferBytes);
        }
        // Most answers go out at once; only one that has to wait is given a place among the deadlines.
        connection->deadline = m_clock.elapsed() + m_requestTimeout;
        sendMore(id);
    }
    m_closeLater = false;
    for (const int descriptor : m_toClose) {
        ::close(descriptor);
    }
    m_toClose.clear();
}

// Sends what the socket takes now: the bytes of the answer, then its file in pieces read as they
// go, so that a peer that does not read costs a descriptor, not a copy of the file.
void ServerConnections::sendMore(quint64 id) {
    Connection* connection = find(id);
    if (!connection || connection->phase != Phase::Answering) {
        return;
    }
    const qint64 fileSize = connection->file ? connection->file->size() : 0;
    bool moved = false;
    // A bounded number of pieces, so that a fast reader of a large file does not hold up the others;
    // the notifier calls again while the socket has room.
    for (int pieces = 0; pieces < 16; ++pieces) {
        qint64 sent = 0;
        qint64 offered = 0;
        if (connection->answerSent < connection->answer.size()) {
            offered = connection->answer.size() - connection->answerSent;
            sent = Sockets::sendSome(connection->descriptor,
                                     connection->answer.constData() + connection->answerSent, offered,
                                     fileSize == 0);
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
                closeConnection(id);
                return;
            }
            offered = read;
            sent = Sockets::sendSome(connection->descriptor, m_piece.constData(), offered,
                                     connection->fileSent + offered == fileSize);
            connection->fileSent += std::max<qint64>(sent, 0);
        } else {
            closeConnection(id); // all sent
            return;
        }
        if (sent < 0) {
            closeConnection(id);
            return;
        }
        moved = moved || sent > 0;
        if (sent < offered) {
            break;
        }
    }
    m_budget.charge(connection->held, connection->answer.size() - connection->answerSent);
    // A slow reader may take as long as it needs for an answer that keeps moving; only one that
    // stalls for the whole timeout is closed.
    setDeadline(*connection, moved ? m_clock.elapsed() + m_requestTimeout : connection->deadline);
    watch(*connection, QSocketNotifier::Write);
}

// --- deadlines, room and closing ----------------------------------------------------------------

qint64 ServerConnections::headDeadline(const Connection& connection) const {
    return connection.acceptedAt + std::min(m_requestTimeout, m_requestDeadline);
}

qint64 ServerConnections::bodyDeadline(const Connection& connection) const {
    return std::min(m_clock.elapsed() + m_requestTimeout, connection.acceptedAt + m_requestDeadline);
}

// Connections that are reading or answering have a deadline; routed ones wait for their answer (a
// parked inbox request has its own timeout).
void ServerConnections::setDeadline(Connection& connection, qint64 deadline) {
    connection.deadline = deadline;
    m_deadlines.schedule(connection.deadlineEntry, connection.id, deadline);
}

void ServerConnections::due(quint64 id, qint64 now) {
    Connection* connection = find(id);
    if (!connection) {
        return;
    }
    connection->deadlineEntry.reset();
    if (connection->phase == Phase::Routed) {
        return;
    }
    if (connection->deadline > now) {
        setDeadline(*connection, connection->deadline);
        return;
    }
    closeConnection(id);
}

ConnectionBudget::Room ServerConnections::makeRoom() {
    if (m_headReaders.empty()) {
        return {};
    }
    const quint64 oldest = *m_headReaders.begin();
    const qint64 age = m_clock.elapsed() - find(oldest)->acceptedAt;
    if (age < evictableAfterMs) {
        return {.restMs = evictableAfterMs - age};
    }
    closeConnection(oldest);
    return {.made = true, .restMs = std::nullopt};
}

void ServerConnections::closeConnection(quint64 id) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return;
    }
    std::unique_ptr<Connection> connection = std::move(found->second);
    m_connections.erase(found);
    m_headReaders.erase(id);
    m_deadlines.cancel(connection->deadlineEntry, id);
    Sockets::dropNotifier(connection->notifier, m_tearingDown);
    if (m_closeLater) {
        ::shutdown(connection->descriptor, SHUT_WR);
        m_toClose.push_back(connection->descriptor);
    } else {
        ::close(connection->descriptor);
    }
    m_budget.connectionClosed(id, connection->held, connection->phase == Phase::Reading,
                              connection->file.has_value());
}

void ServerConnections::closeAll() {
    std::vector<quint64> ids;
    ids.reserve(m_connections.size());
    for (const auto& entry : m_connections) {
        ids.push_back(entry.first);
    }
    for (const quint64 id : ids) {
        closeConnection(id);
    }
    m_deadlines.clear();
}
