#include "bus/BusService.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "ui/MenuContent.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMetaMethod>
#include <QMetaProperty>

namespace {

// The lines above the menu's first separator: the account (or the sign-in entry), Resolve, the
// local network and a folder problem, as the menu shows them.
bool isStatusLine(MenuItem::Role role) {
    using Role = MenuItem::Role;
    return role == Role::signIn || role == Role::account || role == Role::resolve ||
           role == Role::localNetwork || role == Role::folderProblem;
}

QList<MenuItem> statusItems(const SyncEngine& engine) {
    QList<MenuItem> items;
    for (const MenuItem& item : MenuContent::of(MenuState::of(engine, QDateTime::currentDateTime())).items) {
        if (item.visible && isStatusLine(item.role)) {
            items << item;
        }
    }
    return items;
}

} // namespace

BusService::BusService(SyncEngine& engine, BusCommands commands, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_commands(std::move(commands))
    , m_connection(QString()) {
    Bus::registerTypes();
    m_announced = properties();
    if (!engine.activity().isEmpty()) {
        m_newestAnnounced = engine.activity().first().id;
    }

    // Whatever the engine and the objects it owns observe may change what the bus shows; a change
    // that leaves every property as it was announces nothing.
    const QMetaMethod announce =
        metaObject()->method(metaObject()->indexOfSlot("announceChangedProperties()"));
    for (QObject* source : std::initializer_list<QObject*>{&engine, engine.cloud(), engine.resolve()}) {
        const QMetaObject* meta = source->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            if (meta->property(i).hasNotifySignal()) {
                connect(source, meta->property(i).notifySignal(), this, announce);
            }
        }
    }
    connect(&engine, &SyncEngine::activityChanged, this, &BusService::announceNewActivity);
}

BusService::~BusService() {
    if (m_connection.isConnected()) {
        m_connection.unregisterService(Bus::serviceName());
        m_connection.unregisterObject(Bus::objectPath());
    }
}

bool BusService::publish(QDBusConnection connection) {
    if (!connection.isConnected() ||
        !connection.registerObject(Bus::objectPath(), this, QDBusConnection::ExportAllContents)) {
        return false;
    }
    if (!connection.registerService(Bus::serviceName())) {
        connection.unregisterObject(Bus::objectPath());
        return false;
    }
    m_connection = connection;
    return true;
}

bool BusService::signedIn() const {
    return m_engine.cloud()->signedIn();
}

QString BusService::account() const {
    return signedIn() ? m_engine.cloud()->email() : QString();
}

bool BusService::paused() const {
    return m_engine.paused();
}

bool BusService::syncing() const {
    return m_engine.syncing();
}

qlonglong BusService::lastSync() const {
    return m_engine.lastSync() ? m_engine.lastSync()->toMSecsSinceEpoch() : 0;
}

bool BusService::localEnabled() const {
    return m_engine.localEnabled();
}

quint16 BusService::localPort() const {
    return m_engine.localPort().value_or(0);
}

QString BusService::lutFolder() const {
    return m_engine.lutFolderPath();
}

QString BusService::folderProblem() const {
    return m_engine.folderProblem().value_or(QString());
}

QString BusService::resolveHealth() const {
    // The menu's Resolve line after its "Resolve · " lead, so that both always agree.
    for (const MenuItem& item : statusItems(m_engine)) {
        if (item.role == MenuItem::Role::resolve) {
            const qsizetype lead = item.text.indexOf(QStringLiteral(" · "));
            return lead < 0 ? item.text : item.text.mid(lead + 3);
        }
    }
    return {};
}

QStringList BusService::statusLines() const {
    QStringList lines;
    for (const MenuItem& item : statusItems(m_engine)) {
        lines << item.text;
    }
    return lines;
}

QList<Bus::ActivityEntry> BusService::Activity() const {
    QList<Bus::ActivityEntry> entries;
    for (const ::Activity& entry : m_engine.activity()) {
        entries << Bus::ActivityEntry{entry.date.toMSecsSinceEpoch(), entry.text, entry.ok};
    }
    return entries;
}

void BusService::SyncNow() {
    // The menu offers no sync then either; a script is told why instead of hearing success.
    std::optional<QString> refusal;
    if (!signedIn()) {
        refusal = QStringLiteral("not signed in to TINTARA");
    } else if (paused()) {
        refusal = QStringLiteral("syncing is paused");
    }
    if (refusal) {
        if (calledFromDBus()) {
            sendErrorReply(Bus::refusedError(), *refusal);
        }
        return;
    }
    // Started and left to run, as from the menu; a run already under way is the one asked for.
    m_engine.syncNow();
}

void BusService::SetPaused(bool paused) {
    m_engine.setPaused(paused);
}

void BusService::ShowSettings() {
    if (m_commands.showSettings) {
        m_commands.showSettings();
    }
}

void BusService::ShowWindow() {
    if (m_commands.showWindow) {
        m_commands.showWindow();
    }
}

void BusService::Quit() {
    // The reply still goes out: quitting only ends the event loop once this call has returned.
    if (m_commands.quit) {
        m_commands.quit();
    }
}

QVariantMap BusService::properties() const {
    QVariantMap values;
    const QMetaObject* meta = metaObject();
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        values.insert(QString::fromLatin1(meta->property(i).name()), meta->property(i).read(this));
    }
    return values;
}

void BusService::announceChangedProperties() {
    const QVariantMap now = properties();
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (m_announced.value(it.key()) != it.value()) {
            changed.insert(it.key(), it.value());
        }
    }
    m_announced = now;
    if (changed.isEmpty() || !m_connection.isConnected()) {
        return;
    }
    QDBusMessage signal =
        QDBusMessage::createSignal(Bus::objectPath(), QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << Bus::interfaceName() << changed << QStringList();
    m_connection.send(signal);
}

void BusService::announceNewActivity() {
    // The log is capped, so its length says nothing once it is full: what came in is everything
    // in front of the newest entry announced before, sent oldest first.
    const QList<::Activity>& log = m_engine.activity();
    qsizetype fresh = 0;
    while (fresh < log.size() && log[fresh].id != m_newestAnnounced) {
        ++fresh;
    }
    for (qsizetype i = fresh - 1; i >= 0; --i) {
        emit ActivityAdded(log[i].date.toMSecsSinceEpoch(), log[i].text, log[i].ok);
    }
    if (!log.isEmpty()) {
        m_newestAnnounced = log.first().id;
    }
}
