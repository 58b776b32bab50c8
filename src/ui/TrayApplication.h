#pragma once

#include "ui/LoginView.h"
#include "ui/MainWindow.h"
#include "ui/MenuModel.h"
#include "ui/Notifier.h"
#include "ui/SettingsView.h"
#include "ui/Tray.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class Notifications;
class SyncEngine;

// The interface of one engine: the tray with its menu, or the main window where the desktop has no
// tray, the two windows they open, and the desktop notifications.
class TrayApplication : public QObject {
    Q_OBJECT

public:
    using TrayProbe = std::function<bool()>;
    // How often the desktop is asked whether it has a tray: a tray host may start after login,
    // and may go away.
    static constexpr std::chrono::milliseconds trayCheck{2000};

    explicit TrayApplication(SyncEngine& engine, std::shared_ptr<Notifications> notifications = {},
                             TrayProbe trayAvailable = &QSystemTrayIcon::isSystemTrayAvailable,
                             std::chrono::milliseconds trayInterval = trayCheck, QObject* parent = nullptr);

    // Shows the tray icon, or the main window where the desktop has no tray, and follows the tray
    // as it comes and goes.
    void start();
    // The main window where there is one (no tray), else the settings window.
    void showWindow();
    void showSettings();
    void showSignIn();

    Tray& tray() { return m_tray; }
    MainWindow& window() { return m_window; }
    SettingsView& settings() { return m_settings; }
    LoginView& signIn() { return m_signIn; }
    Notifier& notifier() { return m_notifier; }

signals:
    void quitRequested();

private:
    void placeInterface();
    static void present(QWidget& window);

    MenuModel m_model;
    Notifier m_notifier;
    Tray m_tray;
    MainWindow m_window;
    SettingsView m_settings;
    LoginView m_signIn;
    TrayProbe m_trayAvailable;
    QTimer m_trayTimer;
    bool m_inTray = false;
};
