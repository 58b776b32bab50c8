#pragma once

#include "ui/MenuContent.h"

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

class MenuModel;
class QAction;

// The tray icon and its menu. The menu is built once and then follows the engine in place: every
// change of an observed value recomputes the content and applies it to the same actions, also
// while the menu is open.
class Tray : public QObject {
    Q_OBJECT

public:
    // How often the ages of the activity lines are brought up to date while the menu is open.
    static constexpr std::chrono::milliseconds ageRefresh{1000};

    explicit Tray(MenuModel& model, QObject* parent = nullptr);
    ~Tray() override;

    QMenu* menu() { return &m_menu; }
    QSystemTrayIcon* icon() { return &m_icon; }
    const QString& iconName() const { return m_iconName; }
    // Shows this content in the menu and the icon.
    void apply(const MenuContent& content);

    static QIcon iconNamed(const QString& name);

private:
    void refresh();

    MenuModel& m_model;
    QMenu m_menu;
    QSystemTrayIcon m_icon;
    QString m_iconName;
    QList<QAction*> m_actions; // one per item of MenuContent, in the same order
    QTimer m_ageTimer;
};

// A text as a menu or a button shows it: their "&" marks a shortcut letter unless doubled.
QString shownLiterally(QString text);
