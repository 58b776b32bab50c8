#include "ui/MainWindow.h"

#include "engine/SyncEngine.h"
#include "ui/Labels.h"
#include "ui/MenuModel.h"
#include "ui/Tray.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

using Role = MenuItem::Role;

// Whether the user has been told once that closing the window leaves the agent running.
const QString closeExplainedKey = QStringLiteral("tonewharf.closeExplained");

QFrame* separatorLine() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* textLine() {
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

MainWindow::MainWindow(MenuModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_model(model) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Tonewharf"));
    setMinimumWidth(520);

    auto* layout = new QVBoxLayout(this);
    auto* syncRow = new QHBoxLayout;
    auto* bottomRow = new QHBoxLayout;
    auto* activity = new QWidget;
    auto* activityLines = new QVBoxLayout(activity);
    activityLines->setContentsMargins(0, 0, 0, 0);
    activityLines->setSpacing(2);
    m_activity = new QScrollArea;
    m_activity->setWidget(activity);
    m_activity->setWidgetResizable(true);
    m_activity->setFrameShape(QFrame::NoFrame);
    m_activity->setMinimumHeight(120);

    // The controls stand in the menu's order; the commands that belong together share a row.
    const MenuContent content = MenuContent::of(m_model.state(), SyncEngine::activityLimit);
    bool activityPlaced = false;
    for (const MenuItem& item : content.items) {
        const Role role = item.role;
        QWidget* control = nullptr;
        switch (role) {
        case Role::separator:
            control = separatorLine();
            break;
        case Role::account:
        case Role::resolve:
        case Role::localNetwork:
        case Role::activity:
            control = textLine();
            break;
        case Role::folderProblem:
            control = Labels::coloured(Labels::warningOrange);
            break;
        case Role::pause: {
            auto* box = new QCheckBox;
            // `toggled`, not `clicked`: assistive technology toggles without clicking.
            connect(box, &QCheckBox::toggled, this, [this, role](bool on) {
                if (on != m_model.engine().paused()) {
                    m_model.trigger(role);
                }
            });
            control = box;
            break;
        }
        default:
            auto* button = new QPushButton;
            connect(button, &QPushButton::clicked, this, [this, role] { m_model.trigger(role); });
            control = button;
        }
        m_controls << control;

        switch (role) {
        case Role::syncNow:
        case Role::pause:
            syncRow->addWidget(control);
            if (role == Role::pause) {
                syncRow->addStretch(1);
                layout->addLayout(syncRow);
            }
            break;
        case Role::activity:
            activityLines->addWidget(control);
            if (!activityPlaced) {
                layout->addWidget(m_activity, 1);
                activityPlaced = true;
            }
            break;
        case Role::settings:
        case Role::signOut:
            bottomRow->addWidget(control);
            break;
        case Role::quit:
            bottomRow->addStretch(1);
            bottomRow->addWidget(control);
            layout->addLayout(bottomRow);
            break;
        default:
            layout->addWidget(control, 0,
                              qobject_cast<QPushButton*>(control) ? Qt::AlignLeft : Qt::Alignment());
        }
    }
    activityLines->addStretch(1);

    m_ageTimer.setInterval(Tray::ageRefresh);
    connect(&m_ageTimer, &QTimer::timeout, this, &MainWindow::refresh);
    connect(&model, &MenuModel::changed, this, &MainWindow::refresh);
    apply(content);
    resize(560, 560);
}

void MainWindow::refresh() {
    apply(MenuContent::of(m_model.state(), SyncEngine::activityLimit));
}

void MainWindow::apply(const MenuContent& content) {
    bool anyActivity = false;
    for (qsizetype i = 0; i < m_controls.size(); ++i) {
        const MenuItem& item = content.items[i];
        QWidget* control = m_controls[i];
        control->setVisible(item.visible);
        control->setToolTip(item.toolTip);
        anyActivity = anyActivity || (item.role == Role::activity && item.visible);
        if (auto* label = qobject_cast<QLabel*>(control)) {
            label->setText(item.text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            button->setText(item.text);
            button->setEnabled(item.enabled);
            const QSignalBlocker quiet(button);
            button->setChecked(item.checked);
            if (!item.shortcut.isEmpty()) {
                control->setToolTip(item.shortcut.toString(QKeySequence::NativeText));
            }
        }
    }
    m_activity->setVisible(anyActivity);
}

void MainWindow::showEvent(QShowEvent* event) {
    refresh();
    m_ageTimer.start();
    QWidget::showEvent(event);
}

void MainWindow::hideEvent(QHideEvent* event) {
    m_ageTimer.stop();
    QWidget::hideEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QSettings& settings = *m_model.engine().services().settings;
    if (!settings.value(closeExplainedKey).toBool()) {
        settings.setValue(closeExplainedKey, true);
        auto* note = new QMessageBox(QMessageBox::Information, QStringLiteral("Tonewharf keeps running"),
                                     QStringLiteral("Tonewharf keeps running"), QMessageBox::Ok);
        note->setInformativeText(QStringLiteral(
            "Looks still arrive in Resolve and grades still go to TINTARA while this window is closed. "
            "Open Tonewharf from the applications menu to see the window again; “Quit Tonewharf” stops it."));
        note->setAttribute(Qt::WA_DeleteOnClose);
        note->setModal(false);
        note->show();
    }
    QWidget::closeEvent(event);
}
