#pragma once

#include "ui/SettingsWindow.h"
#include "ui/SignInWindow.h"
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
    SettingsWindow& settings() { return m_settings; }
    SignInWindow& signIn() { return m_signIn; }

private:
    static void present(QWidget& window);

    Tray m_tray;
    SettingsWindow m_settings;
    SignInWindow m_signIn;
};
