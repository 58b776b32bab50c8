#include "ui/Tray.h"

#include "ui/MenuModel.h"

#include <QAction>
#include <QApplication>
#include <QCursor>

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

Tray::Tray(MenuModel& model, QObject* parent)
    : QObject(parent)
    , m_model(model) {
    initIconResources();
    m_icon.setContextMenu(&m_menu);
    // A plain click pulls the menu down too, as a menu-bar item does.
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu.isVisible()) {
            m_menu.popup(QCursor::pos());
        }
    });
    // Shortened lines carry their whole text as a tool tip.
    m_menu.setToolTipsVisible(true);

    m_ageTimer.setInterval(ageRefresh);
    connect(&m_ageTimer, &QTimer::timeout, this, &Tray::refresh);
    connect(&m_menu, &QMenu::aboutToShow, this, [this] {
        readableStatusLines(m_menu);
        refresh();
        m_ageTimer.start();
    });
    connect(&m_menu, &QMenu::aboutToHide, &m_ageTimer, &QTimer::stop);
    connect(&model, &MenuModel::changed, this, &Tray::refresh);

    const MenuContent content = MenuContent::of(m_model.state());
    for (const MenuItem& item : content.items) {
        QAction* action =
            item.role == MenuItem::Role::separator ? m_menu.addSeparator() : m_menu.addAction(QString());
        const MenuItem::Role role = item.role;
        connect(action, &QAction::triggered, this, [this, role] { m_model.trigger(role); });
        m_actions << action;
    }
    apply(content);
}

Tray::~Tray() = default;

QIcon Tray::iconNamed(const QString& name) {
    initIconResources();
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(name));
}

void Tray::refresh() {
    apply(MenuContent::of(m_model.state()));
}

void Tray::apply(const MenuContent& content) {
    if (content.iconName != m_iconName) {
        m_iconName = content.iconName;
        m_icon.setIcon(iconNamed(m_iconName));
    }
    // Set only when it changes: a tray on the bus announces every setting, and this runs every second
    // while the menu is open.
    if (m_icon.toolTip() != content.toolTip) {
        m_icon.setToolTip(content.toolTip);
    }
    // Setting an unchanged value is a no-op for QAction, so an open menu does not flicker. No
    // shortcuts: nothing reaches a tray menu's keys while it is closed.
    for (qsizetype i = 0; i < m_actions.size(); ++i) {
        const MenuItem& item = content.items[i];
        QAction* action = m_actions[i];
        action->setVisible(item.visible);
        if (item.role == MenuItem::Role::separator) {
            continue;
        }
        action->setText(shownLiterally(item.text));
        action->setToolTip(item.toolTip);
        action->setEnabled(item.enabled);
        action->setCheckable(item.checkable);
        action->setChecked(item.checked);
    }
}

QString shownLiterally(QString text) {
    return text.replace(QLatin1Char('&'), QLatin1String("&&"));
}
