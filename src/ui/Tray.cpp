#include "ui/Tray.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>

namespace {

// The status lines are inactive entries, which many styles draw too faint to read at a glance;
// they keep their greyed look, nearer the text colour. Taken from the application's palette at
// every opening, so that a switch between light and dark follows.
void readableStatusLines(QMenu& menu) {
    QPalette palette = QApplication::palette(&menu);
    for (const QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText}) {
        const QColor text = palette.color(QPalette::Active, role);
        const QColor background = palette.color(QPalette::Active, QPalette::Window);
        const auto mix = [](int a, int b) { return (a * 3 + b * 2) / 5; };
        palette.setColor(QPalette::Disabled, role,
                         QColor(mix(text.red(), background.red()), mix(text.green(), background.green()),
                                mix(text.blue(), background.blue())));
    }
    menu.setPalette(palette);
}

} // namespace

static void initIconResources() {
    // The icons are compiled into a static library; nothing else would pull them in.
    Q_INIT_RESOURCE(icons);
}

Tray::Tray(SyncEngine& engine, Clock clock, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_clock(std::move(clock)) {
    initIconResources();
    m_icon.setToolTip(QStringLiteral("Tonewharf"));
    m_icon.setContextMenu(&m_menu);
    // A plain click pulls the menu down too, as a menu-bar item does.
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu.isVisible()) {
            m_menu.popup(QCursor::pos());
        }
    });

    m_ageTimer.setInterval(ageRefresh);
    connect(&m_ageTimer, &QTimer::timeout, this, &Tray::refresh);
    connect(&m_menu, &QMenu::aboutToShow, this, [this] {
        readableStatusLines(m_menu);
        refresh();
        m_ageTimer.start();
    });
    connect(&m_menu, &QMenu::aboutToHide, &m_ageTimer, &QTimer::stop);

    const auto follow = [this](auto* sender, auto signal) { connect(sender, signal, this, &Tray::refresh); };
    follow(&engine, &SyncEngine::activityChanged);
    follow(&engine, &SyncEngine::syncingChanged);
    follow(&engine, &SyncEngine::folderProblemChanged);
    follow(&engine, &SyncEngine::resolveScriptInstalledChanged);
    follow(&engine, &SyncEngine::localPortChanged);
    follow(&engine, &SyncEngine::localEnabledChanged);
    follow(&engine, &SyncEngine::pausedChanged);
    follow(engine.cloud(), &CloudStore::signedInChanged);
    follow(engine.cloud(), &CloudStore::emailChanged);
    follow(engine.resolve(), &ResolveLink::healthChanged);

    const MenuContent content = MenuContent::of(MenuState::of(m_engine, m_clock()));
    for (const MenuItem& item : content.items) {
        QAction* action =
            item.role == MenuItem::Role::separator ? m_menu.addSeparator() : m_menu.addAction(QString());
        const MenuItem::Role role = item.role;
        connect(action, &QAction::triggered, this, [this, role] { trigger(role); });
        m_actions << action;
        m_roles << role;
    }
    apply(content);
}

Tray::~Tray() = default;

QIcon Tray::iconNamed(const QString& name) {
    initIconResources();
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(name));
}

bool Tray::show() {
    m_icon.show();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QAction* Tray::action(MenuItem::Role role, int index) const {
    for (qsizetype i = 0; i < m_roles.size(); ++i) {
        if (m_roles[i] == role && index-- == 0) {
            return m_actions[i];
        }
    }
    return nullptr;
}

void Tray::refresh() {
    apply(MenuContent::of(MenuState::of(m_engine, m_clock())));
}

void Tray::apply(const MenuContent& content) {
    if (content.iconName != m_iconName) {
        m_iconName = content.iconName;
        m_icon.setIcon(iconNamed(m_iconName));
    }
    // Setting an unchanged value is a no-op for QAction, so an open menu does not flicker.
    for (qsizetype i = 0; i < m_actions.size(); ++i) {
        const MenuItem& item = content.items[i];
        QAction* action = m_actions[i];
        action->setVisible(item.visible);
        if (item.role == MenuItem::Role::separator) {
            continue;
        }
        action->setText(item.text);
        action->setEnabled(item.enabled);
        action->setCheckable(item.checkable);
        action->setChecked(item.checked);
        action->setShortcut(item.shortcut);
    }
}

void Tray::trigger(MenuItem::Role role) {
    using Role = MenuItem::Role;
    switch (role) {
    case Role::signIn:
        emit signInRequested();
        break;
    case Role::createFolder:
        m_engine.createFolderWithAdmin();
        break;
    case Role::syncNow:
        // Started and left to run: the menu returns at once and follows `syncing`.
        m_engine.syncNow();
        break;
    case Role::pause:
        m_engine.setPaused(!m_engine.paused());
        // The action checked itself when chosen; the engine may have kept its value.
        refresh();
        break;
    case Role::openLutFolder:
        m_engine.checkFolder();
        openFolder(m_engine.lutFolderPath());
        break;
    case Role::openInbox:
        m_engine.checkFolder();
        openFolder(m_engine.inboxFolderPath());
        break;
    case Role::installScript:
        m_engine.installResolveScript();
        break;
    case Role::settings:
        emit settingsRequested();
        break;
    case Role::signOut:
        m_engine.signOut();
        break;
    case Role::quit:
        emit quitRequested();
        break;
    case Role::account:
    case Role::resolve:
    case Role::localNetwork:
    case Role::folderProblem:
    case Role::separator:
    case Role::activity:
        break;
    }
}

void Tray::openFolder(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
