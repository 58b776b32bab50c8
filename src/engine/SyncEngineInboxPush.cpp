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
#include <QTimer>

#include <algorithm>

namespace {

// The regular files of the listing whose extension is "cube" in any case, ordered by their
// characters' code points (upper case before lower case). The test is on the name only.
QStringList inboxFileNames(QStringList names) {
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

void SyncEngine::retryInboxScan() {
    if (std::exchange(m_inboxRetryPending, true)) {
        return;
    }
    QTimer::singleShot(m_services.inboxSettle, this, [this] {
        m_inboxRetryPending = false;
        scanInbox();
    });
}

QCoro::Task<> SyncEngine::scanInboxOnce(std::optional<QList<LUTRecord>> records) {
    const QDir inbox(inboxFolderPath());
    // An inbox that is gone is empty. One that cannot be listed, or a file that cannot be read, for
    // want of descriptors say, is not: the snapshot and the pushed entries stay as they were.
    const FileSystem::Listing listing = FileSystem::regularFiles(inbox.path());
    if (listing.outcome == FileSystem::Outcome::failed) {
        retryInboxScan();
        co_return;
    }
    const QStringList names = inboxFileNames(listing.names);
    const bool pushing = signedIn() && !m_paused;

    QList<InboxItem> items;
    QList<InboxFile> files;
    for (const QString& name : names) {
        const FileSystem::Read read = FileSystem::readRegularFile(inbox.filePath(name), inboxFileByteLimit);
        if (read.outcome == FileSystem::Outcome::failed) {
            retryInboxScan();
            co_return;
        }
        if (read.bytes.isEmpty()) {
            continue;
        }
        const QString hash = sha256Hex(read.bytes);
        items.append(InboxItem{name, hash, read.bytes.size()});
        const auto pushed = m_ledger.pushed.constFind(name);
        if (pushing && (pushed == m_ledger.pushed.cend() || pushed->hash != hash)) {
            files.append(InboxFile{name, hash});
        }
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
    for (const InboxFile& file : files) {
        // Pausing stops nothing already running, but after a sign-out every upload would fail.
        if (!signedIn()) {
            co_return;
        }
        co_await pushInboxFile(file, &records);
        if (!self) {
            co_return;
        }
    }
}

QCoro::Task<> SyncEngine::pushInboxFile(InboxFile file, std::optional<QList<LUTRecord>>* records) {
    // Uploads before this one take time: a grade removed or rewritten meanwhile is not sent as it
    // was hashed. Its change brings a scan of its own through the watcher.
    const FileSystem::Read read =
        FileSystem::readRegularFile(QDir(inboxFolderPath()).filePath(file.name), inboxFileByteLimit);
    if (read.outcome == FileSystem::Outcome::failed) {
        retryInboxScan();
        co_return;
    }
    if (read.bytes.isEmpty() || sha256Hex(read.bytes) != file.hash) {
        co_return;
    }
    const auto pushed = m_ledger.pushed.constFind(file.name);

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

    UploadResult stored = co_await upload(file.name, read.bytes, replacing);
    if (!self) {
        co_return;
    }
    if (!stored.record && stored.recordMissing) {
        // The record is gone from the cloud: store the grade as a new one instead. Any other
        // failure leaves the ledger as it was, so that the next scan replaces the same record.
        stored = co_await upload(file.name, read.bytes, std::nullopt);
        if (!self) {
            co_return;
        }
    }
    if (!stored.record) {
        log(QStringLiteral("Could not upload ") + file.name + QStringLiteral(": ") + m_cloud->status(),
            false);
        co_return;
    }
    m_ledger.pushed.insert(file.name, Ledger::Pushed{stored.record->id, file.hash});
    saveLedger();
    log(file.name + QStringLiteral(" → TINTARA"), true);
    emit gradeSent(file.name);
}

QCoro::Task<UploadResult> SyncEngine::upload(QString name, QByteArray bytes,
                                             std::optional<QString> replacing) {
    const std::optional<qint64> size = cubeSize(bytes);
    // A named task: GCC 12 may destroy the temporary of `co_return co_await` twice.
    QCoro::Task<UploadResult> upload = m_cloud->uploadLUT(
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
