// Cloud pull and removals: looks marked for Resolve come down into the LUT folder; a look the
// user deletes from the folder is reported back so that the iPad sees it is no longer sent.
#include "cloud/CloudStore.h"
#include "cloud/RealtimeClient.h"
#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSet>

namespace {

const QString lutCollection = QStringLiteral("tintara_luts");

} // namespace

bool SyncEngine::signedIn() const {
    return m_cloud->signedIn();
}

QCoro::Task<> SyncEngine::connectCloud() {
    const QPointer<SyncEngine> self(this);
    const RefreshOutcome outcome = co_await m_cloud->refresh();
    if (!self) {
        co_return;
    }
    if (outcome == RefreshOutcome::rejected) {
        m_cloud->signOut();
        log(QStringLiteral("Session expired — sign in again"), false);
        emit sessionExpired();
        co_return;
    }
    m_realtime->setOnEvent([self](const RealtimeEvent& event) {
        if (self) {
            self->handle(event);
        }
    });
    if (const std::optional<QString> token = m_cloud->token()) {
        m_realtime->connect(token);
    }
    co_await syncNow();
}

QCoro::Task<> SyncEngine::syncNow() {
    if (!signedIn() || m_paused || m_syncing) {
        co_return;
    }
    setSyncing(true);
    const QPointer<SyncEngine> self(this);
    const std::optional<QList<LUTRecord>> listing = co_await m_cloud->listRecords();
    if (!self) {
        co_return;
    }
    if (!listing) {
        log(QStringLiteral("Could not reach the cloud: ") + m_cloud->status(), false);
        setSyncing(false);
        co_return;
    }

    int written = 0;
    for (const LUTRecord& record : *listing) {
        if (record.resolve != true) {
            continue;
        }
        const bool wrote = co_await pull(record);
        if (!self) {
            co_return;
        }
        written += wrote ? 1 : 0;
    }

    // Records gone from the cloud are forgotten; their files stay in the LUT folder.
    QSet<QString> listed;
    for (const LUTRecord& record : *listing) {
        listed.insert(record.id);
    }
    const qsizetype before = m_ledger.pulled.size();
    m_ledger.pulled.removeIf([&listed](const auto& entry) { return !listed.contains(entry.key()); });
    if (m_ledger.pulled.size() != before) {
        saveLedger();
    }

    co_await scanInbox(*listing);
    if (!self) {
        co_return;
    }
    if (written > 0) {
        co_await refreshResolve();
        if (!self) {
            co_return;
        }
    }
    setLastSync(QDateTime::currentDateTime());
    setSyncing(false);
}

QCoro::Task<bool> SyncEngine::pull(LUTRecord record) {
    const std::optional<QString> cubeName = LookFileNames::cloudCubeFileName(record.name);
    if (!cubeName) {
        log(record.name + QStringLiteral(" skipped — not a usable file name"), false);
        co_return false;
    }
    const QString stillName = LookFileNames::stillFileName(*cubeName);
    const QString still = stillPath(*cubeName);
    const QPointer<SyncEngine> self(this);

    if (const auto found = m_ledger.pulled.constFind(record.id); found != m_ledger.pulled.cend()) {
        const Ledger::Pulled entry = *found;
        if (userRemoved(entry)) {
            m_ledger.pulled.remove(record.id);
            saveLedger();
            const bool told = co_await m_cloud->updateRecord(record.id, false);
            if (!self) {
                co_return false;
            }
            if (told) {
                log(entry.fileName + QStringLiteral(" removed from Resolve — no longer sent to DaVinci"),
                    true);
            } else {
                log(entry.fileName +
                        QStringLiteral(" removed from Resolve, but the cloud could not be told: ") +
                        m_cloud->status(),
                    false);
            }
            co_return false;
        }
        if (entry.remoteFile == record.file) {
            // Already delivered; only a still that was never written is made up for.
            if (record.look && !entry.drxFile && !QFileInfo::exists(still) &&
                writeStill(*record.look, *cubeName, still)) {
                m_ledger.pulled[record.id].drxFile = stillName;
                saveLedger();
            }
            co_return false;
        }
    }

    const std::optional<QByteArray> bytes = co_await m_cloud->downloadFile(record);
    if (!self) {
        co_return false;
    }
    if (!bytes) {
        log(QStringLiteral("Could not download ") + record.name, false);
        co_return false;
    }

    const QString cube = cubePath(*cubeName);
    if (QFileInfo(cube).isFile() && FileSystem::readAll(cube) == *bytes) {
        std::optional<QString> drx;
        if (record.look && (QFileInfo::exists(still) || writeStill(*record.look, *cubeName, still))) {
            drx = stillName;
        }
        m_ledger.pulled.insert(record.id, {*cubeName, record.file, drx});
        saveLedger();
        co_return false;
    }

    if (writeCube(*bytes, *cubeName, *cubeName + QStringLiteral(" → Resolve")) != CubeWrite::written) {
        co_return false;
    }
    std::optional<QString> drx;
    if (record.look && writeStill(*record.look, *cubeName, still)) {
        drx = stillName;
    }
    m_ledger.pulled.insert(record.id, {*cubeName, record.file, drx});
    saveLedger();
    co_return true;
}

bool SyncEngine::userRemoved(const Ledger::Pulled& entry) const {
    // An unavailable folder (an unmounted drive) proves nothing about what the user deleted.
    if (!QFileInfo(lutFolderPath()).isDir()) {
        return false;
    }
    if (!QFileInfo::exists(QDir(lutFolderPath()).filePath(entry.fileName))) {
        return true;
    }
    return entry.drxFile && QFileInfo(stillsFolderPath()).isDir() &&
           !QFileInfo::exists(QDir(stillsFolderPath()).filePath(*entry.drxFile));
}

void SyncEngine::handle(const RealtimeEvent& event) {
    if (event.collection != lutCollection || m_paused) {
        return;
    }
    if (event.action == RealtimeEvent::Action::delete_) {
        if (m_ledger.pulled.remove(event.recordID) > 0) {
            saveLedger();
        }
        return;
    }
    const auto message = RealtimeEvent::FullMsg<LUTRecord>::decode(event.raw);
    if (!message || message->record.resolve != true) {
        return;
    }
    pullAndRefresh(message->record);
}

QCoro::Task<> SyncEngine::pullAndRefresh(LUTRecord record) {
    const QPointer<SyncEngine> self(this);
    const bool wrote = co_await pull(std::move(record));
    if (self && wrote) {
        co_await refreshResolve();
    }
}
