#include "local/LocalServer.h"

#include "local/ConnectionBudget.h"
#include "local/ConnectionListener.h"
#include "local/IncomingBody.h"
#include "local/ParkedRequests.h"
#include "local/ServerConnections.h"
#include "platform/ServiceAdvertiser.h"
#include "records/JsonDecoding.h"

#include <QJsonObject>

#include <utility>

using LocalHttp::applicationJson;
using LocalHttp::textPlain;

// The server's side on its own thread: the listener, the connections and the parked inbox requests,
// wired together, and each complete request routed to its endpoint. The endpoints that need the
// engine are answered by the owner on its thread and handed back.
class LocalServerWorker : public QObject {
public:
    LocalServerWorker(LocalServer* owner, ServiceAdvertiser* advertiser, QString computerName,
                      quint16 preferredPort, std::chrono::milliseconds longPollTimeout,
                      std::chrono::milliseconds requestTimeout, QHostAddress listenAddress,
                      LocalServer::Limits limits)
        : m_owner(owner)
        , m_preferredPort(preferredPort)
        , m_budget(limits.maxDescriptors, limits.maxHeldBytes, owner->m_heldBytes, owner->m_peakHeldBytes)
        , m_listener(std::move(listenAddress), advertiser,
                     {std::move(computerName), LocalServer::serviceType, 0, {{"v", "1"}}}, m_budget, this)
        , m_connections(m_budget, requestTimeout, limits.requestDeadline, this)
        , m_parked(longPollTimeout, this) {
        m_budget.onResume = [this](quint64 connection) { m_connections.resumeReading(connection); };
        m_budget.onRoom = [this] { m_listener.resume(); };
        m_listener.onAccepted = [this](int descriptor) { m_connections.take(descriptor); };
        m_listener.askForRoom = [this] { return m_connections.makeRoom(); };
        m_listener.onPortChange = [this](std::optional<quint16> port) { reportPort(port); };
        m_connections.onRequest = [this](quint64 connection, LocalHttp::Request request, QByteArray body) {
            route(connection, request, std::move(body));
        };
        m_parked.onTimeout = [this](QList<quint64> connections) { wake(std::move(connections)); };
    }

    ~LocalServerWorker() override {
        // As on stop, nothing new is taken while the connections close.
        m_listener.stopListening();
    }

    void start() { m_listener.start(m_preferredPort); }

    void stop() {
        m_listener.stopListening();
        m_connections.closeAll();
        m_parked.clear();
        reportPort(std::nullopt);
    }

    void notifyIdentityChanged() {
        ++m_identityGeneration;
        m_helloAnswer.clear();
    }

    // The hello answer given by the engine is kept until the identity changes, so that a hello is
    // answered here at once instead of hopping to the GUI thread and back: one answered under an
    // identity that has changed since is not kept.
    void deliverHello(quint64 connection, const QByteArray& bytes, quint64 generation) {
        if (generation == m_identityGeneration) {
            m_helloAnswer = bytes;
        }
        m_connections.deliver({connection}, bytes);
    }

    void notifyInboxChanged() { wake(m_parked.takeAll()); }

    void addInboxWaiters(QList<quint64> connections) {
        connections.removeIf([this](quint64 connection) { return !m_connections.isOpen(connection); });
        m_parked.park(connections);
    }

    void deliver(const QList<quint64>& connections, const QByteArray& bytes,
                 std::optional<RegularFile> file = std::nullopt) {
        m_connections.deliver(connections, bytes, std::move(file));
    }

private:
    void route(quint64 id, const LocalHttp::Request& request, QByteArray body) {
        const bool look = request.method == u"POST" && request.path == u"/v1/luts";
        // A look's body stays counted while it is decoded; the look then counts until the engine
        // has answered for it.
        m_connections.hold(id, look ? body.capacity() : 0);
        LocalServer* owner = m_owner;
        if (request.method == u"GET" && request.path == u"/v1/hello") {
            if (!m_helloAnswer.isEmpty()) {
                m_connections.deliver({id}, m_helloAnswer);
                return;
            }
            QMetaObject::invokeMethod(owner, [owner, id, generation = m_identityGeneration] {
                owner->answerHello(id, generation);
            });
        } else if (look) {
            Decoded<Incoming> decoded = IncomingBody::decode(std::exchange(body, QByteArray()));
            if (!decoded) {
                m_connections.answer(id, 400, QByteArrayLiteral("bad request"));
                return;
            }
            m_connections.hold(id, decoded->cube.capacity());
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
            m_connections.answer(id, 404, QByteArrayLiteral("not found"));
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

    void reportPort(std::optional<quint16> port) {
        LocalServer* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, port] { owner->reportPort(port); });
    }

    LocalServer* const m_owner;
    const quint16 m_preferredPort;
    // Declared in the order they depend on each other: the connections close while the listener
    // they make room for still exists.
    ConnectionBudget m_budget;
    ConnectionListener m_listener;
    ServerConnections m_connections;
    ParkedRequests m_parked;
    QByteArray m_helloAnswer; // empty until the engine has answered a hello for the current identity
    quint64 m_identityGeneration = 0;
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

void LocalServer::notifyIdentityChanged() {
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->notifyIdentityChanged(); });
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

void LocalServer::answerHello(quint64 connection, quint64 generation) {
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
    if (!identity) {
        send({connection}, 200, body, applicationJson);
        return;
    }
    LocalServerWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, connection, generation,
                                       bytes = LocalHttp::responseBytes(200, body, applicationJson)] {
        worker->deliverHello(connection, bytes, generation);
    });
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
