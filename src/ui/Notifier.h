#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

class Notifications;
class SyncEngine;

// Tells the desktop what the user would otherwise miss: looks that arrived in Resolve, grades sent
// to TINTARA, and the failures only the user can mend. Deliveries close together are one
// notification. Routine lines stay in the activity log.
class Notifier : public QObject {
    Q_OBJECT

public:
    // How long deliveries must pause before their notification goes out.
    static constexpr std::chrono::milliseconds burstQuiet{2000};

    Notifier(SyncEngine& engine, std::shared_ptr<Notifications> notifications,
             std::chrono::milliseconds quiet = burstQuiet, QObject* parent = nullptr);

    // The "Show notifications" preference, on unless turned off.
    bool enabled() const;
    void setEnabled(bool enabled);

signals:
    void enabledChanged();

private:
    // Names gathered until the deliveries pause.
    struct Burst {
        QString one;  // the summary naming the one look or grade ("%1")
        QString many; // the summary counting several ("%1")
        QStringList names;
        QTimer timer;
    };

    void add(Burst& burst, const QString& fileName);
    void flush(Burst& burst);
    void tell(const QString& summary, const QString& body = {});

    SyncEngine& m_engine;
    std::shared_ptr<Notifications> m_notifications;
    bool m_folderProblemShown = false; // told, and not gone since
    Burst m_looks;
    Burst m_grades;
};
