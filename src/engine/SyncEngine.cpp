#include "engine/SyncEngine.h"

#include "cloud/CloudStore.h"
#include "cloud/RealtimeClient.h"
#include "engine/FolderWatcher.h"
#include "local/LocalServer.h"
#include "platform/FileSystem.h"
#include "resolve/ResolveLink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QUuid>

namespace {

const QString pausedKey = QStringLiteral("tonewharf.paused");
const QString localKey = QStringLiteral("tonewharf.local");
const QString lutFolderKey = QStringLiteral("tonewharf.lutFolder");

const QString inboxFolderName = QStringLiteral("To TINTARA");
const QString stillsFolderName = QStringLiteral("Looks");
const QString ledgerFileName = QStringLiteral("ledger.json");
const QString configFileName = QStringLiteral("config.json");
// A ledger that does not decode is moved here rather than overwritten by the next save, so that
// whatever it held can still be looked at.
const QString corruptLedgerSuffix = QStringLiteral(".corrupt");

QString joinPath(const QString& folder, const QString& name) {
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// The settings file is plain text that anyone may edit: a value of another type reads as the default.
bool readBool(const QSettings& settings, const QString& key, bool fallback) {
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true")) {
            return true;
        }
        if (text == QLatin1String("false")) {
            return false;
        }
    }
    return fallback;
}

} // namespace

SyncEngine::SyncEngine(EngineServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services)) {
    // 1. The owned objects, idle until start(); the cloud client restores a stored session.
    m_cloud = new CloudStore(m_services.cloudUrl, m_services.credentials, CloudStore::requestTimeout, this);
    m_realtime = std::make_unique<RealtimeClient>(m_services.cloudUrl);
    m_resolve = new ResolveLink(m_services.resolveProfile, m_services.resources,
                                m_services.runningApplications, m_services.resolveLinkTiming, this);
    m_local =
        std::make_unique<LocalServer>(m_services.advertiser.get(), m_services.computerName,
                                      m_services.localPreferredPort, LocalServer::defaultLongPollTimeout,
                                      LocalServer::defaultRequestTimeout, m_services.localListenAddress);

    // 2-4. Settings.
    readSettings();

    // 5. Assigning the platform's answer here runs no side effect.
    m_launchAtLogin = m_services.loginItem && m_services.loginItem->isEnabled();

    // 6-7. Support folder and ledger; failures are silent.
    FileSystem::makeFolder(m_services.supportFolder);
    loadLedger();
}

SyncEngine::~SyncEngine() = default;

void SyncEngine::readSettings() {
    QSettings& settings = *m_services.settings;
    m_paused = readBool(settings, pausedKey, false);
    // Absence and false are different: only a stored false turns the local network off.
    m_localEnabled = settings.contains(localKey) ? readBool(settings, localKey, true) : true;

    const QVariant folder = settings.value(lutFolderKey);
    const QString stored = folder.typeId() == QMetaType::QString ? folder.toString() : QString();
    m_lutFolderPath = isUsableLutFolder(stored) ? stored : m_services.resolveProfile.defaultLutFolder();
}

void SyncEngine::loadLedger() {
    const QString path = ledgerFilePath();
    const QFileInfo info(path);
    if (!info.exists()) {
        saveLedger();
        return;
    }
    const std::optional<QByteArray> bytes = FileSystem::readAll(path, ledgerByteLimit);
    if (bytes) {
        if (std::optional<Ledger> ledger = Ledger::decode(*bytes)) {
            m_ledger = std::move(*ledger);
            return;
        }
    }
    // Unreadable, oversized or not a ledger: start empty without a message, but keep the old
    // file aside instead of letting the next save destroy it.
    if (info.size() > 0) {
        QFile::remove(path + corruptLedgerSuffix);
        QFile::rename(path, path + corruptLedgerSuffix);
    }
    saveLedger();
}

QString SyncEngine::inboxFolderPath() const {
    return joinPath(m_lutFolderPath, inboxFolderName);
}

QString SyncEngine::stillsFolderPath() const {
    return joinPath(m_lutFolderPath, stillsFolderName);
}

QString SyncEngine::ledgerFilePath() const {
    return joinPath(m_services.supportFolder, ledgerFileName);
}

QString SyncEngine::configFilePath() const {
    return joinPath(m_services.supportFolder, configFileName);
}

// -- Settings ---------------------------------------------------------------------------------

void SyncEngine::setLocalEnabled(bool enabled) {
    m_services.settings->setValue(localKey, enabled);
    if (m_localEnabled != enabled) {
        m_localEnabled = enabled;
        emit localEnabledChanged();
    }
    if (enabled) {
        m_local->start();
    } else {
        m_local->stop();
    }
}

void SyncEngine::setPaused(bool paused) {
    m_services.settings->setValue(pausedKey, paused);
    if (m_paused != paused) {
        m_paused = paused;
        emit pausedChanged();
    }
    if (!paused) {
        syncNow();
    }
}

bool SyncEngine::isUsableLutFolder(const QString& path) {
    return !path.isEmpty() && QDir::isAbsolutePath(path);
}

void SyncEngine::setLutFolderPath(const QString& path) {
    // A relative path would put looks wherever the program happened to be started.
    if (!isUsableLutFolder(path)) {
        return;
    }
    m_services.settings->setValue(lutFolderKey, path);
    if (m_lutFolderPath != path) {
        m_lutFolderPath = path;
        emit lutFolderPathChanged();
    }
    checkFolder();
    writeConfig();
    restartWatcher();
    // iPads are offered the inbox of the folder in use, not the one it replaced.
    if (m_started) {
        scanInbox();
    }
}

void SyncEngine::setLaunchAtLogin(bool enabled) {
    if (m_launchAtLogin != enabled) {
        m_launchAtLogin = enabled;
        emit launchAtLoginChanged();
    }
    if (!m_services.loginItem) {
        return;
    }
    const QString error = m_services.loginItem->setEnabled(enabled);
    if (!error.isEmpty()) {
        log(QStringLiteral("Launch at login: ") + error, false);
        // Show what the platform now reports, without registering again.
        const bool actual = m_services.loginItem->isEnabled();
        if (m_launchAtLogin != actual) {
            m_launchAtLogin = actual;
            emit launchAtLoginChanged();
        }
    }
}

// -- Observed state set by the engine's operations -------------------------------------------

void SyncEngine::setSyncing(bool syncing) {
    if (m_syncing != syncing) {
        m_syncing = syncing;
        emit syncingChanged();
    }
}

void SyncEngine::setLastSync(const std::optional<QDateTime>& when) {
    if (m_lastSync != when) {
        m_lastSync = when;
        emit lastSyncChanged();
    }
}

void SyncEngine::setFolderProblem(const std::optional<QString>& problem) {
    if (m_folderProblem != problem) {
        m_folderProblem = problem;
        emit folderProblemChanged();
    }
}

void SyncEngine::setResolveScriptInstalled(bool installed) {
    if (m_resolveScriptInstalled != installed) {
        m_resolveScriptInstalled = installed;
        emit resolveScriptInstalledChanged();
    }
}

void SyncEngine::setLocalPort(std::optional<quint16> port) {
    if (m_localPort != port) {
        m_localPort = port;
        emit localPortChanged();
    }
}

// -- Persistence and log -----------------------------------------------------------------------

void SyncEngine::log(const QString& text, bool ok) {
    m_activity.prepend(Activity{QUuid::createUuid(), QDateTime::currentDateTime(), text, ok});
    while (m_activity.size() > activityLimit) {
        m_activity.removeLast();
    }
    emit activityChanged();
}

void SyncEngine::saveLedger() {
    // The in-memory ledger stays authoritative when the file cannot be written.
    FileSystem::writeAtomically(ledgerFilePath(), m_ledger.encode());
}

void SyncEngine::writeConfig() {
    const QJsonObject config{{QStringLiteral("inbox"), inboxFolderPath()},
                             {QStringLiteral("lutFolder"), m_lutFolderPath}};
    FileSystem::writeAtomically(configFilePath(), QJsonDocument(config).toJson(QJsonDocument::Indented));
}

// -- Start-up ----------------------------------------------------------------------------------

void SyncEngine::start() {
    checkFolder();
    writeConfig();
    installResolveScript();
    if (!m_started) {
        m_started = true;
        m_resolve->start();
        installLocalServerCallbacks();
        if (m_localEnabled) {
            m_local->start();
        }
        scanInbox();
    }
    restartWatcher();
    if (signedIn()) {
        connectCloud();
    }
}
