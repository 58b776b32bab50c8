#include "ui/TrayApplication.h"

#include <QApplication>
#include <QScreen>

TrayApplication::TrayApplication(SyncEngine& engine, QObject* parent)
    : QObject(parent)
    , m_tray(engine)
    , m_settings(engine)
    , m_signIn(engine) {
    QApplication::setWindowIcon(Tray::iconNamed(QStringLiteral("MenuBarIcon")));
    connect(&m_tray, &Tray::signInRequested, this, &TrayApplication::showSignIn);
    connect(&m_tray, &Tray::settingsRequested, this, &TrayApplication::showSettings);
    connect(&m_tray, &Tray::quitRequested, qApp, &QCoreApplication::quit);
    connect(&m_settings, &SettingsView::signInRequested, this, &TrayApplication::showSignIn);
    connect(&m_settings, &SettingsView::quitRequested, qApp, &QCoreApplication::quit);
}

void TrayApplication::start() {
    if (!m_tray.show()) {
        m_settings.setStandalone(true);
        showSettings();
    }
}

void TrayApplication::showSettings() {
    present(m_settings);
}

void TrayApplication::showSignIn() {
    present(m_signIn);
}

void TrayApplication::present(QWidget& window) {
    if (!window.isVisible()) {
        window.adjustSize();
        // First shown in the middle of the screen; afterwards where the user left it.
        if (!window.testAttribute(Qt::WA_Moved)) {
            if (const QScreen* screen = QGuiApplication::primaryScreen()) {
                QRect frame = window.frameGeometry();
                frame.moveCenter(screen->availableGeometry().center());
                window.move(frame.topLeft());
            }
        }
        window.show();
    }
    window.raise();
    window.activateWindow();
}
