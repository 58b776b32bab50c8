#pragma once

#include "ui/MenuContent.h"

#include <QDateTime>
#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>

class QAction;
class SyncEngine;

// The tray icon and its menu. The menu is built once and then follows the engine in place: every
// change of an observed value recomputes the content and applies it to the same actions, also
// while the menu is open.
class Tray : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;
    // How often the ages of the activity lines are brought up to date while the menu is open.
    static constexpr std::chrono::milliseconds ageRefresh{1000};

    explicit Tray(SyncEngine& engine, Clock clock = &QDateTime::currentDateTime, QObject* parent = nullptr);
    ~Tray() override;

    QMenu* menu() { return &m_menu; }
    QSystemTrayIcon* icon() { return &m_icon; }
    const QString& iconName() const { return m_iconName; }
    // The action that carries the entry of this role; the n-th activity line for Role::activity.
    QAction* action(MenuItem::Role role, int index = 0) const;
    // Shows the icon; false when the desktop has no system tray to show it in.
    bool show();

    static QIcon iconNamed(const QString& name);

signals:
    void signInRequested();
    void settingsRequested();
    void quitRequested();

private:
    void refresh();
    void apply(const MenuContent& content);
    void trigger(MenuItem::Role role);
    void openFolder(const QString& path);

    SyncEngine& m_engine;
    Clock m_clock;
    QMenu m_menu;
    QSystemTrayIcon m_icon;
    QString m_iconName;
    QList<QAction*> m_actions; // one per item of MenuContent, in the same order
    QList<MenuItem::Role> m_roles;
    QTimer m_ageTimer;
};
