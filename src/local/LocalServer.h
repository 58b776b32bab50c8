#pragma once

#include "local/HttpRequest.h"
#include "platform/Descriptors.h"
#include "platform/FileSystem.h"
#include "records/LocalRecords.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <qcoro/qcorotask.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

class ServiceAdvertiser;
class LocalServerWorker;

// What the server may take of the process, whatever its peers do.
struct LocalServerLimits {
    // A request's head and body must be complete this long after the connection was accepted,
    // however steadily they trickle in.
    std::chrono::milliseconds requestDeadline{300000};
    // The connections (parked ones included) and the files being sent stay under this many
    // descriptors. 0: the process's limit when listening starts, less a reserve for the rest
    // of the program (its files, the bridge, D-Bus).
    qint64 maxDescriptors = 0;
    // Bytes held across all connections for unfinished requests, looks on their way to the
    // engine and answers not yet sent. Once they are reached, a connection that needs more for a
    // request larger than 16 KiB waits; when only waiting connections hold bytes, the first of
    // them goes on alone, so that one request at most is held beyond the bound.
    qint64 maxHeldBytes = 96LL * 1024 * 1024;
};

// The small HTTP server through which iPads on the network send looks and fetch the inbox.
// The object itself lives on the GUI thread and is where the engine's callbacks run; the listener,
// every connection, parsing, routing and the parked inbox requests live on a thread of their own.
// start, stop and notifyInboxChanged may be called from any thread: they only enqueue work.
class LocalServer : public QObject {
    Q_OBJECT

public:
    using Request = LocalHttp::Request;

    static constexpr quint16 defaultPreferredPort = 7420;
    // A parked GET /v1/inbox is answered with the then current listing after this long.
    static constexpr std::chrono::milliseconds defaultLongPollTimeout{25000};
    // A connection whose head is not complete this long after it was accepted is closed; once the
    // head is in, the body and the answer need only keep moving this often (and the body must be
    // complete within Limits::requestDeadline of the connection all the same).
    static constexpr std::chrono::milliseconds defaultRequestTimeout{60000};
    static inline const QString serviceType = QStringLiteral("_tonewharf._tcp");

    using Limits = LocalServerLimits;

    // `advertiser` may be null (nothing is advertised) and must outlive the server's thread if
    // set. `computerName` is the advertised instance name. Port 0 asks the system for a port.
    // The server listens on `listenAddress` only; iPads on the network need QHostAddress::Any.
    LocalServer(ServiceAdvertiser* advertiser, QString computerName,
                quint16 preferredPort = defaultPreferredPort,
                std::chrono::milliseconds longPollTimeout = defaultLongPollTimeout,
                std::chrono::milliseconds requestTimeout = defaultRequestTimeout,
                QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost), Limits limits = {},
                QObject* parent = nullptr);
    ~LocalServer() override;

    // Set once by the engine before the first start; called on this object's thread only.
    std::function<QMap<QString, QString>()> identity;
    std::function<QCoro::Task<bool>(Incoming)> receiveLUT;
    std::function<InboxSnapshot()> inbox;
    // The inbox file of that name, opened; it is sent from the file in pieces and closed after.
    std::function<std::optional<RegularFile>(QString)> inboxFile;
    std::function<void(std::optional<quint16>)> onPortChange;

    // Listen on the preferred port, falling back once to a port of the system's choosing. Does
    // nothing while listening.
    void start();
    // Stop listening, close every connection (parked ones unanswered) and report no port.
    void stop();
    // Answer every parked GET /v1/inbox with the current listing.
    void notifyInboxChanged();

    static std::optional<Request> parseRequest(QByteArrayView bytes) {
        return LocalHttp::parseRequest(bytes);
    }

    // The bytes counted against Limits::maxHeldBytes now, and the most they have been; any thread.
    qint64 heldBytes() const { return m_heldBytes.load(std::memory_order_relaxed); }
    qint64 peakHeldBytes() const { return m_peakHeldBytes.load(std::memory_order_relaxed); }

private:
    friend class LocalServerWorker;

    // The endpoint halves that need the engine; they run here and hand the answer back.
    void answerHello(quint64 connection);
    void answerLuts(quint64 connection, Incoming incoming);
    void answerInbox(QList<quint64> connections, qint64 since, bool force);
    void answerFile(quint64 connection, const QString& name);
    void reportPort(std::optional<quint16> port);
    void send(QList<quint64> connections, int status, const QByteArray& body, QByteArrayView contentType);

    QThread m_thread;
    LocalServerWorker* m_worker = nullptr;
    std::atomic<qint64> m_heldBytes{0};
    std::atomic<qint64> m_peakHeldBytes{0};
};
