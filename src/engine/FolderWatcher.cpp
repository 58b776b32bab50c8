#include "engine/FolderWatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSet>

FolderWatcher::FolderWatcher(QString folder, std::function<void()> onChange, std::chrono::milliseconds settle,
                             QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
    , m_onChange(std::move(onChange)) {
    m_debounce.setSingleShot(true);
    // A coarse timer may fire up to 5 % early or late (75 ms of 1.5 s): early, the folder has not
    // been quiet as long as promised; late, an iPad waiting on the inbox waits longer.
    m_debounce.setTimerType(Qt::PreciseTimer);
    m_debounce.setInterval(settle);
    connect(&m_debounce, &QTimer::timeout, this, [this] {
        if (m_onChange) {
            m_onChange();
        }
    });
}

FolderWatcher::~FolderWatcher() {
    stop();
}

bool FolderWatcher::start() {
    stop();
    if (!QFileInfo(m_folder).isDir()) {
        return false;
    }
    // A watcher of its own each time: stopping releases its descriptor, so a restart never
    // leaves a second one open.
    auto source = std::make_unique<QFileSystemWatcher>();
    if (!source->addPath(m_folder)) {
        return false;
    }
    // Every change restarts the wait, so the callback comes once the folder has settled. The
    // folder itself only reports entries coming and going; a file written in place in front of
    // us (an export saved straight into the folder) reports through its own watch, so that a
    // scan never settles on half a file.
    connect(source.get(), &QFileSystemWatcher::directoryChanged, this, [this] {
        watchEntries();
        m_debounce.start();
    });
    connect(source.get(), &QFileSystemWatcher::fileChanged, &m_debounce, qOverload<>(&QTimer::start));
    m_source = std::move(source);
    watchEntries();
    return true;
}

void FolderWatcher::watchEntries() {
    const QDir folder(m_folder);
    QStringList added;
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)) {
        added << folder.filePath(name);
    }
    // Entries already watched are left out; entries that went away were dropped by the watcher.
    const QStringList files = m_source->files();
    const QSet<QString> watched(files.cbegin(), files.cend());
    added.removeIf([&watched](const QString& path) { return watched.contains(path); });
    if (!added.isEmpty()) {
        m_source->addPaths(added);
    }
}

void FolderWatcher::stop() {
    m_debounce.stop();
    m_source.reset();
}
