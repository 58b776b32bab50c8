#include "ui/TrayApplication.h"

#include <QApplication>
#include <QScreen>
#include <QShortcut>

TrayApplication::TrayApplication(SyncEngine& engine, std::shared_ptr<Notifications> notifications,
                                 TrayProbe trayAvailable, std::chrono::milliseconds trayInterval,
                                 QObject* parent)
    : QObject(parent)
    , m_model(engine)
    , m_notifier(engine, std::move(notifications))
    , m_tray(m_model)
    , m_window(m_model)
    , m_settings(engine, &m_notifier)
    , m_signIn(engine)
    , m_trayAvailable(std::move(trayAvailable)) {
    QApplication::setWindowIcon(Tray::iconNamed(QStringLiteral("MenuBarIcon")));
    connect(&m_model, &MenuModel::signInRequested, this, &TrayApplication::showSignIn);
    connect(&m_model, &MenuModel::settingsRequested, this, &TrayApplication::showSettings);
    connect(&m_model, &MenuModel::quitRequested, this, &TrayApplication::quitRequested);
    connect(this, &TrayApplication::quitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    // The tray menu has no keys; in the windows the usual two work.
    for (QWidget* window : {static_cast<QWidget*>(&m_window), static_cast<QWidget*>(&m_settings),
                            static_cast<QWidget*>(&m_signIn)}) {
        connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window), &QShortcut::activated, this,
                &TrayApplication::quitRequested);
        connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), window), &QShortcut::activated, this,
                &TrayApplication::showSettings);
    }

    m_trayTimer.setInterval(trayInterval);
    connect(&m_trayTimer, &QTimer::timeout, this, &TrayApplication::placeInterface);
}

void TrayApplication::start() {
    placeInterface();
    m_trayTimer.start();
}

void TrayApplication::placeInterface() {
    const bool tray = m_trayAvailable();
    if (tray == m_inTray && m_trayTimer.isActive()) {
        return;
    }
    m_inTray = tray;
    m_tray.icon()->setVisible(tray);
    // Moving into a tray that appeared puts the window away; a tray that went takes the menu with
    // it, and the window brings everything back.
    if (tray) {
        m_window.hide();
    } else {
        present(m_window);
    }
}

void TrayApplication::showWindow() {
    if (m_trayTimer.isActive() && !m_inTray) {
        present(m_window);
    } else {
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
