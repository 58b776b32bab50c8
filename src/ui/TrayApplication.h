#pragma once

#include "ui/LoginView.h"
#include "ui/SettingsView.h"
#include "ui/Tray.h"

#include <QObject>

class SyncEngine;

// The interface of one engine: the tray with its menu and the two windows it opens.
class TrayApplication : public QObject {
    Q_OBJECT

public:
    explicit TrayApplication(SyncEngine& engine, QObject* parent = nullptr);

    // Shows the tray icon. Where the desktop has no tray the settings window opens instead and
    // offers what the menu would: signing in and out and quitting.
    void start();
    void showSettings();
    void showSignIn();

    Tray& tray() { return m_tray; }
    SettingsView& settings() { return m_settings; }
    LoginView& signIn() { return m_signIn; }

private:
    static void present(QWidget& window);

    Tray m_tray;
    SettingsView m_settings;
    LoginView m_signIn;
};
