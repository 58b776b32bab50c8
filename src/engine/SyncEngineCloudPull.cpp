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
    bool unflagged = false;
    for (const LUTRecord& record : *listing) {
        if (record.resolve != true) {
            unflagged = noteUnflagged(record.id) || unflagged;
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
    if (m_ledger.pulled.removeIf([&listed](const auto& entry) { return !listed.contains(entry.key()); }) >
            0 ||
        unflagged) {
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
    const std::optional<QString> cubeName = cubeFileNameFor(record);
    if (!cubeName) {
        tellUnusableName(record);
        co_return false;
    }
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
        // A folder that is not there (an unplugged drive) takes nothing; the look comes down again
        // once there is a folder to deliver it into.
        if (entry.remoteFile == record.file && !QFileInfo(lutFolderPath()).isDir()) {
            co_return false;
        }
        // Anything else (another folder, a folder made anew, files gone while the record was not
        // marked, a look replaced in the cloud, a file name given up) is delivered again.
        if (entry.fileName == *cubeName && entry.remoteFile == record.file && deliveredHere(entry) &&
            !filesMissing(entry)) {
            const QString still = stillPath(*cubeName);
            Ledger::Pulled& kept = m_ledger.pulled[record.id];
            bool changed = std::exchange(kept.unflagged, false);
            // Already delivered; only a still that was never written is made up for.
            if (record.look && !entry.drxFile && !QFileInfo::exists(still) &&
                writeStill(*record.look, *cubeName, still)) {
                kept.drxFile = LookFileNames::stillFileName(*cubeName);
                changed = true;
            }
            if (changed) {
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
    // Named, placed and recorded from here on without a pause: while the look came down, another
    // pull may have taken its name, or the user chosen another folder.
    const std::optional<QString> fileName = cubeFileNameFor(record);
    if (!fileName) {
        tellUnusableName(record);
        co_return false;
    }
    const QString stillName = LookFileNames::stillFileName(*fileName);
    const QString still = stillPath(*fileName);
    if (FileSystem::holds(cubePath(*fileName), *bytes)) {
        std::optional<QString> drx;
        if (record.look && (QFileInfo::exists(still) || writeStill(*record.look, *fileName, still))) {
            drx = stillName;
        }
        recordPulled(record.id, *fileName, record.file, drx);
        co_return false;
    }

    if (writeCube(*bytes, *fileName, *fileName + QStringLiteral(" → Resolve")) != CubeWrite::written) {
        co_return false;
    }
    std::optional<QString> drx;
    if (record.look && writeStill(*record.look, *fileName, still)) {
        drx = stillName;
    }
    recordPulled(record.id, *fileName, record.file, drx);
    co_return true;
}

void SyncEngine::tellUnusableName(const LUTRecord& record) {
    // The record stays in the cloud and is met at every sync; the log is not to fill with it.
    if (!m_unusableNamesTold.contains({record.id, record.name})) {
        m_unusableNamesTold.insert({record.id, record.name});
        log(record.name + QStringLiteral(" skipped — not a usable file name"), false);
    }
}

std::optional<QString> SyncEngine::cubeFileNameFor(const LUTRecord& record) const {
    const std::optional<QString> base = LookFileNames::cloudCubeFileName(record.name);
    if (!base) {
        return std::nullopt;
    }
    // Compared without regard to case: on a folder that ignores case, Warm.cube and WARM.cube are
    // one file.
    QSet<QString> held;
    for (auto it = m_ledger.pulled.cbegin(); it != m_ledger.pulled.cend(); ++it) {
        if (it.key() != record.id) {
            held << it->fileName.toCaseFolded() << LookFileNames::stillFileName(it->fileName).toCaseFolded();
        }
    }
    const auto free = [&held](const QString& name) {
        return !held.contains(name.toCaseFolded()) &&
               !held.contains(LookFileNames::stillFileName(name).toCaseFolded());
    };
    QString chosen;
    if (const auto own = m_ledger.pulled.constFind(record.id);
        own != m_ledger.pulled.cend() && LookFileNames::isNumberedForm(own->fileName, *base) &&
        free(own->fileName)) {
        chosen = own->fileName;
    }
    for (int n = 1; chosen.isEmpty(); ++n) {
        if (free(LookFileNames::numbered(*base, n))) {
            chosen = LookFileNames::numbered(*base, n);
        }
    }
    return LookFileNames::isUsable(chosen) ? std::optional<QString>(chosen) : std::nullopt;
}

bool SyncEngine::deliveredHere(const Ledger::Pulled& entry) const {
    return entry.folder && QDir::cleanPath(*entry.folder) == QDir::cleanPath(lutFolderPath()) &&
           entry.folderID && entry.folderID == FileSystem::folderIdentity(lutFolderPath());
}

bool SyncEngine::filesMissing(const Ledger::Pulled& entry) const {
    // Only a file known to be gone counts: a folder that may no longer be searched (its permissions
    // changed) or a drive that errs hides files without anyone deleting them.
    if (FileSystem::isGone(QDir(lutFolderPath()).filePath(entry.fileName))) {
        return true;
    }
    return entry.drxFile && QFileInfo(stillsFolderPath()).isDir() &&
           FileSystem::isGone(QDir(stillsFolderPath()).filePath(*entry.drxFile));
}

bool SyncEngine::userRemoved(const Ledger::Pulled& entry) const {
    // A folder that is gone, made anew or another than the one the look went into proves nothing
    // about what the user deleted (an unmounted drive, a folder moved away, a new folder chosen).
    return deliveredHere(entry) && !entry.unflagged && filesMissing(entry);
}

void SyncEngine::recordPulled(const QString& id, const QString& cubeFileName, const QString& remoteFile,
                              std::optional<QString> drxFile) {
    m_ledger.pulled.insert(id, Ledger::Pulled{cubeFileName, remoteFile, std::move(drxFile), lutFolderPath(),
                                              FileSystem::folderIdentity(lutFolderPath()), false});
    saveLedger();
}

bool SyncEngine::noteUnflagged(const QString& id) {
    const auto found = m_ledger.pulled.find(id);
    return found != m_ledger.pulled.end() && !std::exchange(found->unflagged, true);
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
    if (!message) {
        return;
    }
    if (message->record.resolve != true) {
        if (noteUnflagged(message->record.id)) {
            saveLedger();
        }
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
