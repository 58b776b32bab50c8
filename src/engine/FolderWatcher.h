#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class QFileSystemWatcher;

// Turns the changes of one folder's entries into a single callback, once the folder has been
// quiet for the settle time: a burst of copies gives one call after its last change.
class FolderWatcher : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultSettle{1500};

    FolderWatcher(QString folder, std::function<void()> onChange,
                  std::chrono::milliseconds settle = defaultSettle, QObject* parent = nullptr);
    ~FolderWatcher() override;

    // Begins watching; false when the folder cannot be watched (missing, not a folder).
    bool start();
    // Ends watching and drops a pending callback.
    void stop();

    bool isWatching() const { return m_source != nullptr; }
    const QString& folder() const { return m_folder; }

private:
    void watchEntries();

    QString m_folder;
    std::function<void()> m_onChange;
    std::unique_ptr<QFileSystemWatcher> m_source;
    QTimer m_debounce;
};
