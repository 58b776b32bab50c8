#pragma once

#include "local/ConnectionBudget.h"
#include "local/DeadlineQueue.h"
#include "local/HttpRequest.h"
#include "local/RequestReceipt.h"
#include "platform/FileSystem.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSocketNotifier>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

// The server's connections, each from its accept to its close: its one request read within the
// budget and the deadlines, handed over once complete, then one answer sent, from a file in pieces
// where there is one, and the connection closed. Connections are plain non-blocking sockets, so
// that nothing is read beyond the one request and the end of a peer's input is seen only once the
// request is known to be incomplete.
class ServerConnections : public QObject {
public:
    // `requestTimeout`: a head must be complete this long after the accept, and a body or an answer
    // must keep moving this often; `requestDeadline`: a request must be complete this long after
    // the accept, however steadily it trickles in.
    ServerConnections(ConnectionBudget& budget, std::chrono::milliseconds requestTimeout,
                      std::chrono::milliseconds requestDeadline, QObject* parent);
    ~ServerConnections() override;

    // A complete request; nothing more is read from its connection, which waits for its answer
    // meanwhile. The body stays counted against the budget until hold() says otherwise.
    std::function<void(quint64 connection, LocalHttp::Request request, QByteArray body)> onRequest;

    // A connection the listener accepted.
    void take(int descriptor);
    // At the budget: closes the oldest connection that has been sending its head for too long, or
    // says how long to wait until one is old enough (none: until a connection closes).
    ConnectionBudget::Room makeRoom();

    bool isOpen(quint64 connection) const { return m_connections.contains(connection); }
    // The bytes the connection's request holds while it is with the engine.
    void hold(quint64 connection, qint64 bytes);
    // Answers at once with a text/plain body.
    void answer(quint64 connection, int status, const QByteArray& body);
    // Writes one complete answer to each connection that is still waiting for one, then closes it
    // once the bytes are out. `file`, when given, follows `bytes` (its head) to the one connection.
    void deliver(const QList<quint64>& connections, const QByteArray& bytes,
                 std::optional<RegularFile> file = std::nullopt);
    // A connection that waited for memory is read from again.
    void resumeReading(quint64 connection);
    void closeAll();

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
        std::optional<qint64> deadlineEntry; // where it is queued among the deadlines, if it is
        ConnectionBudget::Share held;
        QByteArray answer; // the answer, or the head of one sent from `file`
        qint64 answerSent = 0;
        std::optional<RegularFile> file;
        qint64 fileSent = 0;
    };

    Connection* find(quint64 id);
    void readRequest(quint64 id);
    bool isSmall(const Connection& connection) const;
    void awaitMore(Connection& connection);
    void watch(Connection& connection, QSocketNotifier::Type type);
    void waitForMemory(Connection& connection);
    void stopReading(Connection& connection);
    void answerNow(Connection& connection, int status, const QByteArray& body);
    void route(Connection& connection);
    void sendMore(quint64 id);
    qint64 headDeadline(const Connection& connection) const;
    qint64 bodyDeadline(const Connection& connection) const;
    void setDeadline(Connection& connection, qint64 deadline);
    void due(quint64 id, qint64 now);
    void closeConnection(quint64 id);

    ConnectionBudget& m_budget;
    const qint64 m_requestTimeout;
    const qint64 m_requestDeadline;
    QElapsedTimer m_clock;
    DeadlineQueue m_deadlines;
    bool m_tearingDown = false;

    quint64 m_lastId = 0;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    // Connections still reading their head, oldest first (ids rise with every accept).
    std::set<quint64> m_headReaders;
    bool m_closeLater = false; // while answering many at once: ended now, closed after the last
    std::vector<int> m_toClose;
    QByteArray m_piece; // one piece of a file on its way out; shared, since sending is one at a time
};
