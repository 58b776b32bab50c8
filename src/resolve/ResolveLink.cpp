#include "resolve/ResolveLink.h"

#include "platform/Descriptors.h"
#include "records/JsonDecoding.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPointer>
#include <QProcessEnvironment>

#include <utility>

namespace {

const QString bridgeScriptName = QStringLiteral("tintara_resolve_bridge");
// A bridge asked to stop gets this long to exit before it is killed.
constexpr std::chrono::milliseconds terminateGrace{2000};

bool isTrue(const QJsonValue& value) {
    return value.isBool() && value.toBool();
}

std::optional<QString> stringAt(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        return std::nullopt;
    }
    return value.toString();
}

} // namespace

QString ResolveLink::Health::label() const {
    switch (kind) {
    case Kind::scriptingUnavailable:
        return message;
    case Kind::connected:
        return product + QLatin1Char(' ') + version;
    case Kind::stopped:
        return QStringLiteral("Bridge stopped");
    case Kind::starting:
        return QStringLiteral("Connecting…");
    case Kind::resolveNotInstalled:
        return QStringLiteral("DaVinci Resolve not installed");
    case Kind::pythonMissing:
        return QStringLiteral("python3 not found");
    case Kind::resolveNotRunning:
        return QStringLiteral("Resolve not running");
    }
    return {};
}

ResolveLink::ResolveLink(ResolveProfile profile, Resources resources,
                         std::shared_ptr<RunningApplications> running, Timing timing, QObject* parent)
    : QObject(parent)
    , m_profile(std::move(profile))
    , m_resources(std::move(resources))
    , m_running(std::move(running))
    , m_timing(timing) {
    // The waits are part of the link's behaviour; a coarse timer may end them 5% early.
    m_pingTimer.setTimerType(Qt::PreciseTimer);
    m_restartTimer.setTimerType(Qt::PreciseTimer);
    m_pingTimer.setSingleShot(true);
    m_pingTimer.setInterval(m_timing.pingInterval);
    connect(&m_pingTimer, &QTimer::timeout, this, [this] { ping(m_generation); });

    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(m_timing.restartDelay);
    connect(&m_restartTimer, &QTimer::timeout, this, [this] {
        if (m_process == nullptr && m_health.kind != Health::Kind::stopped) {
            start();
        }
    });
}

ResolveLink::~ResolveLink() {
    ++m_generation;
    if (m_process != nullptr) {
        disconnect(m_process, nullptr, this, nullptr);
    }
    // No bridge outlives the link, neither the current one nor one still being asked to stop.
    for (QProcess* child : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
        disconnect(child, nullptr, nullptr, nullptr);
        child->kill();
        child->waitForFinished(1000);
    }
    failPending(LinkError::notRunning);
}

std::optional<QString> ResolveLink::findPython() const {
    for (const QString& candidate : m_profile.pythonCandidates) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable()) {
            return candidate;
        }
    }
    return std::nullopt;
}

void ResolveLink::setHealth(const Health& health) {
    if (m_health == health) {
        return;
    }
    m_health = health;
    emit healthChanged();
}

void ResolveLink::setProject(const QString& project) {
    if (m_project == project) {
        return;
    }
    m_project = project;
    emit projectChanged();
}

void ResolveLink::start() {
    teardown();

    if (!QFileInfo::exists(m_profile.installedMarker)) {
        setHealth(Health::resolveNotInstalled());
        return;
    }
    const std::optional<QString> python = findPython();
    if (!python) {
        setHealth(Health::pythonMissing());
        return;
    }
    const std::optional<QString> script = m_resources.path(bridgeScriptName, QStringLiteral("py"));
    if (!script) {
        setHealth(Health::scriptingUnavailable(QStringLiteral("bridge script missing from the app bundle")));
        return;
    }
    setHealth(Health::starting());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESOLVE_SCRIPT_API"), m_profile.scriptApi);
    environment.insert(QStringLiteral("RESOLVE_SCRIPT_LIB"), m_profile.scriptLib);
    environment.insert(QStringLiteral("PYTHONPATH"), m_profile.pythonPath);
    environment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));

    auto* child = new QProcess(this);
    child->setChildProcessModifier(Descriptors::restoreInChild);
    child->setProgram(*python);
    child->setArguments({*script});
    child->setProcessEnvironment(environment);
    child->setStandardErrorFile(QProcess::nullDevice());
    child->setProcessChannelMode(QProcess::SeparateChannels);

    connect(child, &QProcess::readyReadStandardOutput, this, [this, child] { readOutput(child); });
    // The output can end before the exit is noticed, or the other way round; the second finds
    // no child recorded and does nothing.
    connect(child, &QProcess::readChannelFinished, this, [this, child] { handleTermination(child); });
    connect(child, &QProcess::finished, this, [this, child] { handleTermination(child); });
    connect(child, &QProcess::errorOccurred, this, [this, child](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            handleLaunchFailure(child);
        }
    });
    const quint64 generation = m_generation;
    connect(child, &QProcess::started, this, [this, child, generation] {
        if (child == m_process && generation == m_generation) {
            ping(generation);
        }
    });

    m_process = child;
    child->start(QIODevice::ReadWrite);
}

// Asks a bridge that is no longer ours to stop, without waiting for it.
static void dispose(QProcess* child) {
    if (child->state() == QProcess::NotRunning) {
        child->deleteLater();
        return;
    }
    QObject::connect(child, &QProcess::finished, child, &QObject::deleteLater);
    child->terminate();
    QTimer::singleShot(terminateGrace, child, [child] { child->kill(); });
}

void ResolveLink::teardown() {
    ++m_generation;
    m_pingTimer.stop();
    if (m_process != nullptr) {
        QProcess* child = std::exchange(m_process, nullptr);
        disconnect(child, nullptr, this, nullptr);
        dispose(child);
    }
    m_lineBuffer.clear();
    m_discardingLine = false;
    failPending(LinkError::notRunning);
}

void ResolveLink::failPending(LinkError error) {
    // Emptied before anyone resumes, so a waiter that sends again finds a clean map.
    const auto taken = std::exchange(m_pending, {});
    for (const auto& waiter : taken) {
        complete(waiter, error);
    }
}

void ResolveLink::complete(const std::shared_ptr<Waiter>& waiter, Reply reply) {
    if (waiter->result) {
        return;
    }
    waiter->result = std::move(reply);
    if (const std::coroutine_handle<> continuation = waiter->continuation) {
        // Resumed from the event loop rather than from inside the reader or a teardown, so the
        // waiter never runs in the middle of the link's own bookkeeping.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [continuation] { continuation.resume(); }, Qt::QueuedConnection);
    }
}

void ResolveLink::handleLaunchFailure(QProcess* child) {
    if (child != m_process) {
        return;
    }
    ++m_generation;
    m_pingTimer.stop();
    m_process = nullptr;
    disconnect(child, nullptr, this, nullptr);
    child->deleteLater();
    failPending(LinkError::notRunning);
    setHealth(Health::pythonMissing());
}

void ResolveLink::handleTermination(QProcess* child) {
    if (child != m_process || m_process == nullptr) {
        return;
    }
    // Whatever the bridge wrote before it ended still counts; a last line may lack its line feed.
    readOutput(child);
    if (child != m_process) {
        return;
    }
    if (!m_discardingLine && !m_lineBuffer.isEmpty()) {
        handleLine(std::exchange(m_lineBuffer, {}));
    }
    ++m_generation;
    m_pingTimer.stop();
    m_process = nullptr;
    m_lineBuffer.clear();
    m_discardingLine = false;
    disconnect(child, nullptr, this, nullptr);
    dispose(child);
    failPending(LinkError::notRunning);
    if (m_health.kind != Health::Kind::stopped && m_health.kind != Health::Kind::resolveNotRunning) {
        setHealth(Health::resolveNotRunning());
    }
    m_restartTimer.start();
}

void ResolveLink::readOutput(QProcess* child) {
    if (child != m_process) {
        return;
    }
    const QByteArray data = child->readAllStandardOutput();
    qsizetype from = 0;
    while (from < data.size()) {
        const qsizetype end = data.indexOf('\n', from);
        if (end < 0) {
            break;
        }
        if (m_discardingLine) {
            m_discardingLine = false;
            m_lineBuffer.clear();
        } else if (m_lineBuffer.size() + (end - from) <= lineLimit) {
            m_lineBuffer.append(data.constData() + from, end - from);
            handleLine(std::exchange(m_lineBuffer, {}));
        } else {
            m_lineBuffer.clear();
        }
        from = end + 1;
    }
    if (from < data.size() && !m_discardingLine) {
        m_lineBuffer.append(data.constData() + from, data.size() - from);
        if (m_lineBuffer.size() > lineLimit) {
            m_lineBuffer.clear();
            m_discardingLine = true;
        }
    }
}

void ResolveLink::handleLine(const QByteArray& line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return;
    }
    const QJsonObject object = document.object();
    if (object.isEmpty()) {
        return;
    }
    const std::optional<qint64> id = Json::integer(object.value(QStringLiteral("id")));
    if (!id) {
        return;
    }
    const auto found = m_pending.find(*id);
    if (found == m_pending.end()) {
        // Timed out or failed already; the caller has its answer.
        return;
    }
    const std::shared_ptr<Waiter> waiter = found.value();
    m_pending.erase(found);
    complete(waiter, object);
}

QCoro::Task<ResolveLink::Reply> ResolveLink::send(QString cmd, QJsonObject args) {
    if (m_process == nullptr) {
        co_return LinkError::notRunning;
    }
    const qint64 id = ++m_nextID;
    const QJsonObject request{
        {QStringLiteral("id"), QJsonValue(id)},
        {QStringLiteral("cmd"), cmd},
        {QStringLiteral("args"), args},
    };
    QByteArray bytes = QJsonDocument(request).toJson(QJsonDocument::Compact);
    if (bytes.isEmpty()) {
        co_return LinkError::writeFailed;
    }
    bytes.append('\n');
    if (m_process->write(bytes) != bytes.size()) {
        co_return LinkError::writeFailed;
    }

    // Registered in the same turn as the write, so the reply cannot arrive first.
    auto waiter = std::make_shared<Waiter>();
    m_pending.insert(id, waiter);
    QTimer::singleShot(m_timing.requestTimeout, Qt::PreciseTimer, this, [this, id] {
        const auto found = m_pending.find(id);
        if (found == m_pending.end()) {
            return;
        }
        const std::shared_ptr<Waiter> late = found.value();
        m_pending.erase(found);
        complete(late, LinkError::timeout);
    });
    // A named awaitable, not a temporary: GCC 12 destroys a temporary in `co_return co_await` twice,
    // which frees the waiter while it is still in use.
    ReplyAwaitable reply{std::move(waiter)};
    co_return co_await reply;
}

void ResolveLink::schedulePing(quint64 generation) {
    if (generation == m_generation && m_process != nullptr) {
        m_pingTimer.start();
    }
}

QCoro::Task<> ResolveLink::ping(quint64 generation) {
    if (m_process == nullptr || generation != m_generation) {
        co_return;
    }
    const QPointer<ResolveLink> self(this);
    const Reply reply = co_await send(QStringLiteral("status"));
    if (!self || generation != m_generation) {
        co_return;
    }
    if (reply.ok()) {
        handleStatusReply(reply.object());
    }
    schedulePing(generation);
}

void ResolveLink::handleStatusReply(const QJsonObject& reply) {
    if (isTrue(reply.value(QStringLiteral("ok")))) {
        const QJsonValue resultValue = reply.value(QStringLiteral("result"));
        const QJsonObject result = resultValue.isObject() ? resultValue.toObject() : QJsonObject{};
        setHealth(
            Health::connected(stringAt(result, QStringLiteral("product")).value_or(QStringLiteral("Resolve")),
                              stringAt(result, QStringLiteral("version")).value_or(QString())));
        setProject(stringAt(result, QStringLiteral("project")).value_or(QString()));
        return;
    }
    const std::optional<QString> code = stringAt(reply, QStringLiteral("code"));
    if (code == QStringLiteral("scripting_unavailable")) {
        setHealth(Health::scriptingUnavailable(
            stringAt(reply, QStringLiteral("error")).value_or(QStringLiteral("scripting unavailable"))));
    } else if (code == QStringLiteral("not_connected")) {
        if (m_running && m_running->isResolveRunning(m_profile)) {
            setHealth(Health::scriptingUnavailable(QString::fromUtf8(refusesScriptingMessage)));
        } else {
            setHealth(Health::resolveNotRunning());
        }
    }
}

QCoro::Task<bool> ResolveLink::refreshLUTs() {
    if (m_health.kind != Health::Kind::connected) {
        co_return false;
    }
    const Reply reply = co_await send(QStringLiteral("refresh_luts"));
    co_return reply.ok() && isTrue(reply.object().value(QStringLiteral("ok")));
}
