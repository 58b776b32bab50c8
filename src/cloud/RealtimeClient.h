#pragma once

#include "cloud/EventStreamParser.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QObject;
class QThread;
class RealtimeWorker;

// Keeps the cloud's realtime change stream open and hands every record change in the four
// collections to one handler on the thread that created the client. The stream, its network
// manager and every field of the stream live on a thread of their own; `connect` and
// `disconnect` only post work there and return at once, from any thread.
//
// Deliberately not a QObject: its `connect` and `disconnect` would hide QObject's.
class RealtimeClient {
public:
    using Event = RealtimeEvent;
    using Handler = std::function<void(const Event&)>;

    static constexpr std::chrono::milliseconds defaultFirstRetryDelay{2'000};
    static constexpr std::chrono::milliseconds defaultMaxRetryDelay{60'000};
    // The stream may stay silent this long before we give up on it and reconnect.
    static constexpr std::chrono::milliseconds defaultStreamTimeout{24LL * 60 * 60 * 1000};
    static constexpr std::chrono::milliseconds defaultSubscribeTimeout{60'000};

    struct Timings {
        std::chrono::milliseconds firstRetryDelay = defaultFirstRetryDelay;
        std::chrono::milliseconds maxRetryDelay = defaultMaxRetryDelay;
        std::chrono::milliseconds streamTimeout = defaultStreamTimeout;
        std::chrono::milliseconds subscribeTimeout = defaultSubscribeTimeout;
        // Stream bytes kept while waiting for the end of an event block. A stream that exceeds it
        // is dropped and reopened through the normal back-off, counted as a failed attempt.
        qsizetype bufferLimit = EventStream::BlockBuffer::defaultLimit;
    };

    static const QStringList& collections();
    // `base` with "/api/realtime" appended, with exactly one slash between.
    static QUrl endpoint(const QUrl& base);

    explicit RealtimeClient(const QUrl& base);
    RealtimeClient(const QUrl& base, const Timings& timings);
    // Stops the stream thread; a pending reconnect and events not yet delivered are dropped.
    ~RealtimeClient();

    RealtimeClient(const RealtimeClient&) = delete;
    RealtimeClient& operator=(const RealtimeClient&) = delete;

    // Opens the stream with this token (none: no "Authorization" header), replacing any open one,
    // and keeps reopening it until `disconnect`.
    void connect(const std::optional<QString>& token);
    void disconnect();

    void setOnEvent(Handler handler);
    Handler onEvent() const;

    const QUrl& base() const { return m_base; }

private:
    void deliver(const Event& event) const;

    const QUrl m_base;
    mutable QMutex handlerLock;
    Handler m_onEvent; // guarded by handlerLock

    // Lives on the creating thread: queued deliveries run there and vanish with it.
    std::unique_ptr<QObject> m_deliveryContext;
    std::unique_ptr<QThread> m_thread;
    RealtimeWorker* m_worker = nullptr; // lives on m_thread, deleted there when it finishes

    friend class RealtimeWorker;
};
