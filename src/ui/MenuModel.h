#pragma once

#include "ui/MenuContent.h"

#include <QDateTime>
#include <QObject>

#include <functional>

class SyncEngine;

// What the tray menu and the main window show and do. Both read the engine through this one
// object, so that they show the same lines and their commands act alike.
class MenuModel : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    explicit MenuModel(SyncEngine& engine, Clock clock = &QDateTime::currentDateTime,
                       QObject* parent = nullptr);

    SyncEngine& engine() const { return m_engine; }
    MenuState state() const;
    // Carries out the command of an entry; text lines do nothing.
    void trigger(MenuItem::Role role);

signals:
    // A value that the menu shows has changed.
    void changed();
    void signInRequested();
    void settingsRequested();
    void quitRequested();

private:
    void openFolder(const QString& path);

    SyncEngine& m_engine;
    Clock m_clock;
    bool m_sessionExpired = false;
};
