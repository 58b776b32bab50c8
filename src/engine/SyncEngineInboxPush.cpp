// The inbox: grades exported from Resolve are offered to iPads as a numbered listing and
// uploaded to the cloud once per change.
#include "cloud/CloudStore.h"
#include "engine/CubeSize.h"
#include "engine/FileDigest.h"
#include "engine/FolderWatcher.h"
#include "engine/SyncEngine.h"
#include "local/LocalServer.h"
#include "platform/FileSystem.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSet>

#include <algorithm>

namespace {

// Bytes kept between the snapshot and the upload within one scan; files beyond it are read again
// (and hashed again) when their turn to upload comes.
constexpr qint64 keptBytesLimit = 256LL * 1024 * 1024;

// The non-hidden entries of the folder whose extension is "cube" in any case, ordered by their
// characters' code points (upper case before lower case). The test is on the name only.
QStringList inboxFileNames(const QString& folder) {
    QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    names.removeIf([](const QString& name) {
        return QFileInfo(name).suffix().compare(QLatin1String("cube"), Qt::CaseInsensitive) != 0;
    });
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.toUcs4() < b.toUcs4(); });
    return names;
}

} // namespace

QCoro::Task<> SyncEngine::scanInbox(std::optional<QList<LUTRecord>> records) {
    if (m_scanningInbox) {
        // Run once more when the current scan ends, so that a grade exported during a long upload
        // does not wait for some later event.
        m_inboxScanRequested = true;
        co_return;
    }
    m_scanningInbox = true;
    const QPointer<SyncEngine> self(this);
    do {
        m_inboxScanRequested = false;
        co_await scanInboxOnce(std::exchange(records, std::nullopt));
        if (!self) {
            co_return;
        }
    } while (m_inboxScanRequested);
    m_scanningInbox = false;
}

QCoro::Task<> SyncEngine::scanInboxOnce(std::optional<QList<LUTRecord>> records) {
    const QDir inbox(inboxFolderPath());
    const QStringList names = inboxFileNames(inbox.path());
    const bool pushing = signedIn() && !m_paused;

    QList<InboxItem> items;
    QList<InboxFile> files;
    qint64 keptBytes = 0;
    for (const QString& name : names) {
        std::optional<QByteArray> bytes = FileSystem::readAll(inbox.filePath(name), inboxFileByteLimit);
        if (!bytes || bytes->isEmpty()) {
            continue;
        }
        const QString hash = sha256Hex(*bytes);
        items.append(InboxItem{name, hash, bytes->size()});
        const auto pushed = m_ledger.pushed.constFind(name);
        // A file already pushed with these bytes is done with: reading it again for the push
        // would double what every scan of an unchanged inbox reads.
        if (!pushing || (pushed != m_ledger.pushed.cend() && pushed->hash == hash)) {
            continue;
        }
        InboxFile file{name, hash, std::nullopt};
        if (keptBytes + bytes->size() <= keptBytesLimit) {
            keptBytes += bytes->size();
            file.bytes = std::move(bytes);
        }
        files.append(std::move(file));
    }
    if (items != m_inboxSnapshot.items) {
        m_inboxSnapshot = InboxSnapshot{m_inboxSnapshot.seq + 1, std::move(items)};
        m_local->notifyInboxChanged();
    }
    if (!pushing) {
        co_return;
    }

    // A file removed from the inbox is forgotten; its cloud record stays.
    const QSet<QString> present(names.cbegin(), names.cend());
    if (m_ledger.pushed.removeIf([&present](const auto& entry) { return !present.contains(entry.key()); }) >
        0) {
        saveLedger();
    }

    const QPointer<SyncEngine> self(this);
    for (InboxFile& file : files) {
        // Pausing stops nothing already running, but after a sign-out every upload would fail.
        if (!signedIn()) {
            co_return;
        }
        co_await pushInboxFile(std::move(file), &records);
        if (!self) {
            co_return;
        }
    }
}

QCoro::Task<> SyncEngine::pushInboxFile(InboxFile file, std::optional<QList<LUTRecord>>* records) {
    if (!file.bytes) {
        file.bytes = FileSystem::readAll(QDir(inboxFolderPath()).filePath(file.name), inboxFileByteLimit);
        if (!file.bytes || file.bytes->isEmpty()) {
            co_return;
        }
        file.hash = sha256Hex(*file.bytes);
    }
    const auto pushed = m_ledger.pushed.constFind(file.name);
    if (pushed != m_ledger.pushed.cend() && pushed->hash == file.hash) {
        co_return;
    }

    const QPointer<SyncEngine> self(this);
    std::optional<QString> replacing;
    if (pushed != m_ledger.pushed.cend()) {
        replacing = pushed->recordID;
    } else {
        if (!*records) {
            // A failed listing counts as empty for this file; the next file that needs one asks again.
            *records = co_await m_cloud->listRecords();
            if (!self) {
                co_return;
            }
        }
        if (*records) {
            const auto same =
                std::find_if((*records)->cbegin(), (*records)->cend(),
                             [&file](const LUTRecord& record) { return record.name == file.name; });
            if (same != (*records)->cend()) {
                replacing = same->id;
            }
        }
    }

    std::optional<LUTRecord> stored = co_await upload(file.name, *file.bytes, replacing);
    if (!self) {
        co_return;
    }
    if (!stored && replacing) {
        // The record may be gone from the cloud: store the grade as a new one instead.
        stored = co_await upload(file.name, *file.bytes, std::nullopt);
        if (!self) {
            co_return;
        }
    }
    if (!stored) {
        log(QStringLiteral("Could not upload ") + file.name + QStringLiteral(": ") + m_cloud->status(),
            false);
        co_return;
    }
    m_ledger.pushed.insert(file.name, Ledger::Pushed{stored->id, file.hash});
    saveLedger();
    log(file.name + QStringLiteral(" → TINTARA"), true);
    emit gradeSent(file.name);
}

QCoro::Task<std::optional<LUTRecord>> SyncEngine::upload(QString name, QByteArray bytes,
                                                         std::optional<QString> replacing) {
    const std::optional<qint64> size = cubeSize(bytes);
    // A named task: GCC 12 may destroy the temporary of `co_return co_await` twice.
    QCoro::Task<std::optional<LUTRecord>> upload = m_cloud->uploadLUT(
        name, name, std::move(bytes), size, std::move(replacing), false, QStringLiteral("resolve"));
    co_return co_await upload;
}

void SyncEngine::restartWatcher() {
    if (m_watcher) {
        m_watcher->stop();
    }
    const QPointer<SyncEngine> self(this);
    m_watcher = std::make_unique<FolderWatcher>(
        inboxFolderPath(),
        [self] {
            if (self) {
                self->scanInbox();
            }
        },
        m_services.inboxSettle);
    if (!m_watcher->start()) {
        m_watcher.reset();
    }
}
