#include "cloud/RealtimeClient.h"

#include "cloud/BearerAuthorization.h"

#include "records/JsonDecoding.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMetaObject>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

int clampedMilliseconds(std::chrono::milliseconds duration) {
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, std::numeric_limits<int>::max()));
}

} // namespace

// Everything of the stream, touched only on the client's own thread.
class RealtimeWorker : public QObject {
public:
    RealtimeWorker(const RealtimeClient* client, QObject* deliveryContext, QUrl endpoint,
                   const RealtimeClient::Timings& timings)
        : m_client(client)
        , m_deliveryContext(deliveryContext)
        , m_endpoint(std::move(endpoint))
        , m_timings(timings)
        , m_buffer(timings.bufferLimit)
        , m_retryDelay(timings.firstRetryDelay)
        , m_retryDelayAtOpen(timings.firstRetryDelay) {}

    ~RealtimeWorker() override {
        m_wantConnected = false;
        dropTask();
    }

    void connectStream(const std::optional<QString>& token) {
        m_token = token;
        m_wantConnected = true;
        m_retryDelay = m_timings.firstRetryDelay;
        openStream();
    }

    void disconnectStream() {
        m_wantConnected = false;
        ++m_generation;
        dropTask();
        m_clientId.reset();
        m_buffer.clear();
    }

private:
    QNetworkAccessManager* network() {
        // Created on first use, which is always on this thread: the manager must belong to it.
        if (m_network == nullptr) {
            m_network = new QNetworkAccessManager(this);
        }
        return m_network;
    }

    void setAuthorization(QNetworkRequest& request) const { setBearerAuthorization(request, m_token); }

    // Forgets the current stream request; whatever it still reports is no longer heard.
    void dropTask() {
        if (m_task == nullptr) {
            return;
        }
        QNetworkReply* task = std::exchange(m_task, nullptr);
        QObject::disconnect(task, nullptr, this, nullptr);
        task->abort();
        task->deleteLater();
    }

    void openStream() {
        dropTask();
        m_buffer.clear();
        m_clientId.reset();
        ++m_generation;
        m_retryDelayAtOpen = m_retryDelay;

        QNetworkRequest request(m_endpoint);
        request.setRawHeader("Accept", "text/event-stream");
        setAuthorization(request);
        request.setTransferTimeout(clampedMilliseconds(m_timings.streamTimeout));

        QNetworkReply* task = network()->get(request);
        // Qt stops reading the socket while this much is waiting for us, so a flood cannot pile
        // up inside the reply either: at most twice the limit is held for one stream.
        task->setReadBufferSize(m_buffer.limit());
        m_task = task;
        QObject::connect(task, &QNetworkReply::readyRead, this, [this, task] { receive(task); });
        QObject::connect(task, &QNetworkReply::finished, this, [this, task] { finish(task); });
    }

    void receive(QNetworkReply* reply) {
        if (m_task == nullptr || reply != m_task) {
            return;
        }
        const QByteArray bytes = reply->readAll();
        if (bytes.isEmpty()) {
            return;
        }
        m_retryDelay = m_timings.firstRetryDelay;

        bool overflowed = false;
        const QList<QByteArray> blocks = m_buffer.append(bytes, &overflowed);
        for (const QByteArray& block : blocks) {
            handle(block);
        }
        if (overflowed) {
            // A stream that never ends its block did not work, whatever bytes it sent: wait as
            // after any other failed attempt, so that a misbehaving service is not hammered.
            m_retryDelay = m_retryDelayAtOpen;
            dropTask();
            m_clientId.reset();
            if (m_wantConnected) {
                scheduleReconnect();
            }
        }
    }

    void handle(const QByteArray& block) {
        EventStream::Outcome outcome = EventStream::handleBlock(block, RealtimeClient::collections());
        if (auto* connected = std::get_if<EventStream::Connected>(&outcome)) {
            m_clientId = std::move(connected->clientId);
            subscribe();
        } else if (auto* event = std::get_if<RealtimeEvent>(&outcome)) {
            // The client outlives this worker (its destructor stops our thread first), and the
            // queued call dies with the delivery context if that goes first.
            QMetaObject::invokeMethod(
                m_deliveryContext, [client = m_client, event = std::move(*event)] { client->deliver(event); },
                Qt::QueuedConnection);
        }
    }

    void subscribe() {
        if (!m_clientId) {
            return;
        }
        QNetworkRequest request(m_endpoint);
        request.setTransferTimeout(clampedMilliseconds(m_timings.subscribeTimeout));
        request.setRawHeader("Content-Type", "application/json");
        setAuthorization(request);

        QJsonObject body;
        body.insert(QStringLiteral("clientId"), *m_clientId);
        body.insert(QStringLiteral("subscriptions"),
                    QJsonArray::fromStringList(RealtimeClient::collections()));

        // The answer is not looked at: a failed subscription is renewed by the next reconnect.
        QNetworkReply* reply = network()->post(request, Json::compact(body));
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    }

    void finish(QNetworkReply* reply) {
        if (m_task == nullptr || reply != m_task) {
            return;
        }
        // The stream's status is never examined: a refusal, an error and a normal end all mean
        // "try again later".
        m_task = nullptr;
        reply->deleteLater();
        if (m_wantConnected) {
            scheduleReconnect();
        }
    }

    void scheduleReconnect() {
        const qint64 generation = m_generation;
        const std::chrono::milliseconds delay = m_retryDelay;
        m_retryDelay = std::min(delay * 2, m_timings.maxRetryDelay);
        // The timer belongs to this worker, so it dies with it; a newer open or a disconnect
        // moves the generation on and makes it do nothing.
        QTimer::singleShot(delay, Qt::PreciseTimer, this, [this, generation] {
            if (m_wantConnected && m_generation == generation) {
                openStream();
            }
        });
    }

    const RealtimeClient* const m_client;
    QObject* const m_deliveryContext;
    const QUrl m_endpoint;
    const RealtimeClient::Timings m_timings;

    QNetworkAccessManager* m_network = nullptr;
    std::optional<QString> m_token;
    QNetworkReply* m_task = nullptr;
    std::optional<QString> m_clientId;
    EventStream::BlockBuffer m_buffer;
    bool m_wantConnected = false;
    qint64 m_generation = 0;
    std::chrono::milliseconds m_retryDelay;
    std::chrono::milliseconds m_retryDelayAtOpen;
};

const QStringList& RealtimeClient::collections() {
    static const QStringList names{QStringLiteral("tintara_looks"), QStringLiteral("tintara_luts"),
                                   QStringLiteral("tintara_projects"), QStringLiteral("tintara_shots")};
    return names;
}

QUrl RealtimeClient::endpoint(const QUrl& base) {
    QUrl url = base;
    QString path = base.path();
    while (path.endsWith(u'/')) {
        path.chop(1);
    }
    url.setPath(path + QStringLiteral("/api/realtime"));
    return url;
}

RealtimeClient::RealtimeClient(const QUrl& base)
    : RealtimeClient(base, Timings{}) {}

RealtimeClient::RealtimeClient(const QUrl& base, const Timings& timings)
    : m_base(base)
    , m_deliveryContext(std::make_unique<QObject>())
    , m_thread(std::make_unique<QThread>()) {
    m_thread->setObjectName(QStringLiteral("com.quillfen.TINTARA.realtime"));
    m_worker = new RealtimeWorker(this, m_deliveryContext.get(), endpoint(base), timings);
    m_worker->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

RealtimeClient::~RealtimeClient() {
    // The worker, its stream, its network manager and any pending reconnect go with the thread.
    m_thread->quit();
    m_thread->wait();
    m_worker = nullptr;
}

void RealtimeClient::connect(const std::optional<QString>& token) {
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, token] { worker->connectStream(token); }, Qt::QueuedConnection);
}

void RealtimeClient::disconnect() {
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->disconnectStream(); }, Qt::QueuedConnection);
}

void RealtimeClient::setOnEvent(Handler handler) {
    const QMutexLocker locker(&handlerLock);
    m_onEvent = std::move(handler);
}

RealtimeClient::Handler RealtimeClient::onEvent() const {
    const QMutexLocker locker(&handlerLock);
    return m_onEvent;
}

void RealtimeClient::deliver(const Event& event) const {
    // Copied under the lock and called without it: the handler may itself replace the handler,
    // and one cleared while this event was on its way is not called.
    const Handler handler = onEvent();
    if (handler) {
        handler(event);
    }
}
