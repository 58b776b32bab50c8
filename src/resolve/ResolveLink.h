#pragma once

#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "platform/RunningApplications.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <chrono>
#include <coroutine>
#include <memory>
#include <optional>

// The waits of the Resolve link; tests shorten them.
struct ResolveLinkTiming {
    std::chrono::milliseconds pingInterval{5000};    // from the end of one status poll to the next
    std::chrono::milliseconds requestTimeout{10000}; // from writing a request to failing it
    std::chrono::milliseconds restartDelay{3000};    // from an unexpected end of the bridge to a restart
};

// Keeps one python3 bridge child alive beside DaVinci Resolve and talks to it with one JSON
// object per line on its standard input and output. Lives on the GUI thread.
class ResolveLink : public QObject {
    Q_OBJECT

public:
    // What the link knows about Resolve, with the text the interface shows for it.
    struct Health {
        enum class Kind {
            scriptingUnavailable,
            connected,
            stopped,
            starting,
            resolveNotInstalled,
            pythonMissing,
            resolveNotRunning,
        };

        Kind kind = Kind::stopped;
        QString message; // scriptingUnavailable
        QString product; // connected
        QString version; // connected

        static Health scriptingUnavailable(QString message) {
            return {Kind::scriptingUnavailable, std::move(message), {}, {}};
        }
        static Health connected(QString product, QString version) {
            return {Kind::connected, {}, std::move(product), std::move(version)};
        }
        static Health stopped() { return {Kind::stopped, {}, {}, {}}; }
        static Health starting() { return {Kind::starting, {}, {}, {}}; }
        static Health resolveNotInstalled() { return {Kind::resolveNotInstalled, {}, {}, {}}; }
        static Health pythonMissing() { return {Kind::pythonMissing, {}, {}, {}}; }
        static Health resolveNotRunning() { return {Kind::resolveNotRunning, {}, {}, {}}; }

        QString label() const;
        bool operator==(const Health&) const = default;
    };

    enum class LinkError {
        notRunning,  // no bridge when asked, or it stopped while the request waited
        timeout,     // no reply within the request timeout
        writeFailed, // the request could not be serialised or written to the bridge
    };

    // The reply object of one request, or the error it failed with.
    class Reply {
    public:
        Reply() = default;        // a request that never ran
        Reply(QJsonObject object) // NOLINT(google-explicit-constructor)
            : m_object(std::move(object)) {}
        Reply(LinkError error) // NOLINT(google-explicit-constructor)
            : m_error(error) {}

        bool ok() const { return m_object.has_value(); }
        const QJsonObject& object() const { return *m_object; }
        LinkError error() const { return m_error; }

    private:
        std::optional<QJsonObject> m_object;
        LinkError m_error = LinkError::notRunning;
    };

    using Timing = ResolveLinkTiming;

    // A line from the bridge longer than this is not a reply of ours; it is dropped whole.
    static constexpr qsizetype lineLimit = 1024 * 1024;
    static constexpr const char* refusesScriptingMessage =
        "Resolve is running but refuses scripting — Studio only; set Preferences → General → External "
        "scripting using = Local";

    ResolveLink(ResolveProfile profile, Resources resources, std::shared_ptr<RunningApplications> running,
                Timing timing = {}, QObject* parent = nullptr);
    ~ResolveLink() override;

    Q_PROPERTY(ResolveLink::Health health READ health NOTIFY healthChanged)
    Q_PROPERTY(QString project READ project NOTIFY projectChanged)

    const Health& health() const { return m_health; }
    const QString& project() const { return m_project; }

    // (Re)starts the bridge.
    void start();
    // True when the bridge reports that Resolve refreshed its LUT list; false for every failure.
    QCoro::Task<bool> refreshLUTs();
    // One request; the reply object or the error it failed with.
    QCoro::Task<Reply> send(QString cmd, QJsonObject args = {});

    // For tests and the interface: whether a bridge child is recorded right now.
    bool bridgeRunning() const { return m_process != nullptr; }
    // The id of the last request written; 0 before the first.
    qint64 lastRequestId() const { return m_nextID; }
    // The python3 the link would start, or nothing.
    std::optional<QString> findPython() const;

signals:
    void healthChanged();
    void projectChanged();

private:
    // One request waiting for its reply; completed once, from whichever side comes first.
    struct Waiter {
        std::optional<Reply> result;
        std::coroutine_handle<> continuation;
    };
    struct ReplyAwaitable {
        std::shared_ptr<Waiter> waiter;
        bool await_ready() const noexcept { return waiter->result.has_value(); }
        void await_suspend(std::coroutine_handle<> handle) noexcept { waiter->continuation = handle; }
        Reply await_resume() { return std::move(*waiter->result); }
    };
    static void complete(const std::shared_ptr<Waiter>& waiter, Reply reply);

    void setHealth(const Health& health);
    void setProject(const QString& project);
    void teardown();
    void failPending(LinkError error);
    void handleTermination(QProcess* child);
    void handleLaunchFailure(QProcess* child);
    void readOutput(QProcess* child);
    void handleLine(const QByteArray& line);
    void schedulePing(quint64 generation);
    QCoro::Task<> ping(quint64 generation);
    void handleStatusReply(const QJsonObject& reply);

    ResolveProfile m_profile;
    Resources m_resources;
    std::shared_ptr<RunningApplications> m_running;
    Timing m_timing;

    Health m_health;
    QString m_project;
    QProcess* m_process = nullptr;
    qint64 m_nextID = 0;
    QMap<qint64, std::shared_ptr<Waiter>> m_pending;

    // Raised by every teardown, so that the loops of an earlier bridge end their work.
    quint64 m_generation = 0;
    QTimer m_pingTimer;
    QTimer m_restartTimer;
    QByteArray m_lineBuffer;
    bool m_discardingLine = false;
};

Q_DECLARE_METATYPE(ResolveLink::Health)
