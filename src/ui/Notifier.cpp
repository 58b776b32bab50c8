#include "ui/Notifier.h"

#include "engine/SyncEngine.h"
#include "platform/Notifications.h"

#include <QFileInfo>
#include <QSettings>

#include <utility>

namespace {

const QString enabledKey = QStringLiteral("tonewharf.showNotifications");

} // namespace

Notifier::Notifier(SyncEngine& engine, std::shared_ptr<Notifications> notifications,
                   std::chrono::milliseconds quiet, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_notifications(std::move(notifications)) {
    m_looks.one = QStringLiteral("%1 arrived in Resolve");
    m_looks.many = QStringLiteral("%1 looks arrived in Resolve");
    m_grades.one = QStringLiteral("%1 sent to TINTARA");
    m_grades.many = QStringLiteral("%1 grades sent to TINTARA");
    for (Burst* burst : {&m_looks, &m_grades}) {
        burst->timer.setSingleShot(true);
        burst->timer.setInterval(quiet);
        connect(&burst->timer, &QTimer::timeout, this, [this, burst] { flush(*burst); });
    }

    connect(&engine, &SyncEngine::lookDelivered, this, [this](const QString& name) { add(m_looks, name); });
    connect(&engine, &SyncEngine::gradeSent, this, [this](const QString& name) { add(m_grades, name); });
    connect(&engine, &SyncEngine::sessionExpired, this, [this] {
        tell(QStringLiteral("Session expired — sign in again"),
             QStringLiteral("Looks from the cloud wait until you sign in to TINTARA."));
    });
    connect(&engine, &SyncEngine::resolveScriptFailed, this, [this](const QString& reason) {
        tell(QStringLiteral("“Send to TINTARA” could not be installed in Resolve"), reason);
    });
    connect(&engine, &SyncEngine::folderProblemChanged, this, [this] {
        // Told when a problem appears: the same one in other words while it lasts ("Can't create",
        // "Can't write to", "is not writable") is no news.
        const std::optional<QString> problem = m_engine.folderProblem();
        if (!std::exchange(m_folderProblemShown, problem.has_value()) && problem) {
            tell(QStringLiteral("Looks cannot be written to the LUT folder"), *problem);
        }
    });
}

bool Notifier::enabled() const {
    return m_engine.services().settings->value(enabledKey, true).toBool();
}

void Notifier::setEnabled(bool enabled) {
    if (enabled == this->enabled()) {
        return;
    }
    m_engine.services().settings->setValue(enabledKey, enabled);
    emit enabledChanged();
}

void Notifier::add(Burst& burst, const QString& fileName) {
    burst.names << QFileInfo(fileName).completeBaseName();
    burst.timer.start();
}

void Notifier::flush(Burst& burst) {
    const QStringList names = std::exchange(burst.names, {});
    if (names.size() == 1) {
        tell(burst.one.arg(names.first()));
    } else if (names.size() > 1) {
        tell(burst.many.arg(names.size()), names.join(QStringLiteral(", ")));
    }
}

void Notifier::tell(const QString& summary, const QString& body) {
    if (m_notifications && enabled()) {
        m_notifications->show(summary, body);
    }
}
