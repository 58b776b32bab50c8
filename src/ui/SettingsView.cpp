#include "ui/SettingsView.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "ui/Labels.h"
#include "ui/Notifier.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

QGroupBox* section(const QString& title, QLayout* layout) {
    auto* box = new QGroupBox(title);
    box->setLayout(layout);
    return box;
}

// Labelled rows and full-width rows. A grid rather than a form layout: a form layout gives a
// wrapped value one line's height and cuts the rest.
class Rows : public QGridLayout {
public:
    Rows() { setColumnStretch(1, 1); }

    QLabel* addRow(const QString& label, QWidget* field) {
        auto* name = new QLabel(label);
        addWidget(name, rowCount(), 0, Qt::AlignLeft | Qt::AlignTop);
        addWidget(field, rowCount() - 1, 1);
        return name;
    }
    void addRow(QLayout* layout, const QString& label) {
        addWidget(new QLabel(label), rowCount(), 0);
        addLayout(layout, rowCount() - 1, 1);
    }
    void addRow(QWidget* wide) { addWidget(wide, rowCount(), 0, 1, 2); }
};

QLabel* value() {
    auto* label = new QLabel;
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QString localStatus(const SyncEngine& engine) {
    if (!engine.localEnabled()) {
        return QStringLiteral("Off");
    }
    if (!engine.localPort()) {
        return QStringLiteral("Starting…");
    }
    return QStringLiteral("Listening on port ") + QString::number(*engine.localPort());
}

QUuid newestActivity(const SyncEngine& engine) {
    return engine.activity().isEmpty() ? QUuid() : engine.activity().first().id;
}

} // namespace

SettingsView::SettingsView(SyncEngine& engine, Notifier* notifier, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_engine(engine)
    , m_notifier(notifier) {
    setWindowTitle(QStringLiteral("Tonewharf Settings"));
    setFixedWidth(480);

    // Resolve LUT folder.
    m_folder = new QLineEdit;
    m_folder->setPlaceholderText(QStringLiteral("A full path; Return or leaving the field applies it"));
    m_folder->setToolTip(QStringLiteral(
        "Type a full path; it applies on Return, when you leave the field or close the window"));
    auto* choose = new QPushButton(QStringLiteral("Choose…"));
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(m_folder, 1);
    folderRow->addWidget(choose);
    auto* folderForm = new Rows;
    folderForm->addRow(folderRow, QStringLiteral("Folder"));
    m_folderRefusal = Labels::coloured(Labels::errorRed);
    m_folderPending = Labels::caption({});
    m_folderProblem = Labels::coloured(Labels::warningOrange);
    m_createFolder = new QPushButton(QStringLiteral("Create folder (admin)…"));
    m_folderLocked =
        Labels::caption(QStringLiteral("The folder exists and cannot be written — choose another one."));
    m_createFolderFailure = Labels::coloured(Labels::errorRed);
    m_reset = new QPushButton(QStringLiteral("Reset to Resolve's default"));
    auto* folder = new QVBoxLayout;
    folder->addLayout(folderForm);
    folder->addWidget(m_folderRefusal);
    folder->addWidget(m_folderPending);
    folder->addWidget(Labels::caption(QStringLiteral(
        "Looks sent from TINTARA are written here (Resolve shows them under this folder's name); "
        "the “To TINTARA” subfolder is the inbox for grades exported from Resolve.")));
    folder->addWidget(m_folderProblem);
    folder->addWidget(m_createFolder, 0, Qt::AlignLeft);
    folder->addWidget(m_folderLocked);
    folder->addWidget(m_createFolderFailure);
    folder->addWidget(m_reset, 0, Qt::AlignLeft);

    // Resolve.
    m_scripting = value();
    m_script = value();
    auto* resolve = new Rows;
    resolve->addRow(QStringLiteral("Scripting"), m_scripting);
    resolve->addRow(Labels::caption(QStringLiteral(
        "Optional. With Resolve Studio and Preferences → General → External scripting = Local, "
        "Tonewharf refreshes the LUT list for you; otherwise use “Update Lists” in Resolve.")));
    resolve->addRow(QStringLiteral("“Send to TINTARA” script"), m_script);

    // Local network.
    m_local = new QCheckBox(QStringLiteral("Accept iPads on this network"));
    m_localStatus = value();
    auto* local = new Rows;
    local->addRow(m_local);
    local->addRow(Labels::caption(
        QStringLiteral("TINTARA on an iPad connected to the same network finds ") + Labels::thisComputer() +
        QStringLiteral(" by itself and sends looks straight here — no internet needed. Grades exported from "
                       "Resolve reach the iPad the same way. The cloud keeps working alongside when it is "
                       "reachable.")));
    local->addRow(QStringLiteral("Status"), m_localStatus);

    // General.
    m_launchAtLogin = new QCheckBox(QStringLiteral("Launch at login"));
    m_launchFailure = Labels::coloured(Labels::errorRed);
    m_launchFailure->hide();
    m_notifications = new QCheckBox(QStringLiteral("Show notifications"));
    m_notifications->setVisible(notifier != nullptr);
    m_account = value();
    auto* general = new Rows;
    general->addRow(m_launchAtLogin);
    general->addRow(m_launchFailure);
    general->addRow(m_notifications);
    m_accountLabel = general->addRow(QStringLiteral("Account"), m_account);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->addWidget(section(QStringLiteral("Resolve LUT folder"), folder));
    layout->addWidget(section(QStringLiteral("Resolve"), resolve));
    layout->addWidget(section(QStringLiteral("Local network"), local));
    layout->addWidget(section(QStringLiteral("General"), general));

    // The folder is assigned when editing ends, not on every keystroke: each assignment creates
    // the folder, and typing a path would leave one folder behind for every prefix typed.
    connect(m_folder, &QLineEdit::editingFinished, this, &SettingsView::commitFolder);
    connect(choose, &QPushButton::clicked, this, &SettingsView::chooseFolder);
    connect(m_reset, &QPushButton::clicked, this,
            [this] { assignFolder(m_engine.services().resolveProfile.defaultLutFolder()); });
    connect(m_folder, &QLineEdit::textChanged, this, &SettingsView::showPending);
    // A refusal answers the path it refused; typing another one ends it.
    connect(m_folder, &QLineEdit::textEdited, this, [this] {
        m_folderRefusal->hide();
        showPending();
    });
    connect(m_createFolder, &QPushButton::clicked, this, [this] { createFolder(); });
    // `toggled`, not `clicked`: assistive technology toggles a check box without clicking it.
    connect(m_local, &QCheckBox::toggled, this, [this](bool on) {
        m_engine.setLocalEnabled(on);
        refresh();
    });
    connect(m_launchAtLogin, &QCheckBox::toggled, this, [this](bool on) {
        const QUuid before = newestActivity(m_engine);
        m_engine.setLaunchAtLogin(on);
        showFailure(m_launchFailure, before);
        refresh();
    });
    if (notifier) {
        connect(m_notifications, &QCheckBox::toggled, notifier, &Notifier::setEnabled);
        connect(notifier, &Notifier::enabledChanged, this, &SettingsView::refresh);
    }

    connect(&engine, &SyncEngine::lutFolderPathChanged, this, &SettingsView::showFolder);
    for (auto signal : {&SyncEngine::folderProblemChanged, &SyncEngine::resolveScriptInstalledChanged,
                        &SyncEngine::localPortChanged, &SyncEngine::localEnabledChanged,
                        &SyncEngine::launchAtLoginChanged, &SyncEngine::lutFolderPathChanged}) {
        connect(&engine, signal, this, &SettingsView::refresh);
    }
    connect(engine.resolve(), &ResolveLink::healthChanged, this, &SettingsView::refresh);
    connect(engine.cloud(), &CloudStore::signedInChanged, this, &SettingsView::refresh);
    connect(engine.cloud(), &CloudStore::emailChanged, this, &SettingsView::refresh);

    showFolder();
    refresh();
}

SettingsView::~SettingsView() {
    // Losing the focus while the window is torn down would apply the field's text half-destroyed.
    m_folder->disconnect(this);
}

void SettingsView::refresh() {
    const std::optional<QString> problem = m_engine.folderProblem();
    m_folderProblem->setText(QStringLiteral("⚠︎ ") + problem.value_or(QString()));
    m_folderProblem->setVisible(problem.has_value());
    const bool locked = problem && m_engine.lutFolderLocked();
    m_createFolder->setVisible(problem && !locked);
    m_folderLocked->setVisible(locked);
    // The failure goes with the problem it failed to mend; a later problem starts afresh.
    if (!problem) {
        m_createFolderFailure->clear();
    }
    m_createFolderFailure->setVisible(!m_createFolderFailure->text().isEmpty());
    m_reset->setEnabled(m_engine.lutFolderPath() != m_engine.services().resolveProfile.defaultLutFolder());

    m_scripting->setText(m_engine.resolve()->health().label());
    m_script->setText(m_engine.resolveScriptInstalled()
                          ? QStringLiteral("Installed (Color page → Workspace → Scripts)")
                          : QStringLiteral("Not installed"));
    m_localStatus->setText(localStatus(m_engine));

    // Showing a value is not choosing it: only the user's toggles reach the engine.
    for (const auto& [box, on] :
         {std::pair{m_local, m_engine.localEnabled()}, std::pair{m_launchAtLogin, m_engine.launchAtLogin()},
          std::pair{m_notifications, m_notifier && m_notifier->enabled()}}) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    }

    const bool signedIn = m_engine.cloud()->signedIn();
    m_account->setText(m_engine.cloud()->email());
    m_accountLabel->setVisible(signedIn);
    m_account->setVisible(signedIn);
    showPending();
}

void SettingsView::showFolder() {
    m_folder->setText(m_engine.lutFolderPath());
    m_folderRefusal->hide();
    showPending();
}

void SettingsView::showPending() {
    // The warning and "Reset" speak of the folder in use; a typed path is not it until applied.
    m_folderPending->setText(QStringLiteral("Not applied yet: Return, leaving the field or closing the "
                                            "window makes this the LUT folder. Looks still go to ") +
                             m_engine.lutFolderPath());
    m_folderPending->setVisible(m_folder->text() != m_engine.lutFolderPath() && m_folderRefusal->isHidden());
    Labels::fitHeight(this);
}

void SettingsView::showFailure(QLabel* label, const QUuid& before) {
    // What an action started here logged last is its outcome; a failure stays in sight below it.
    const QList<Activity>& activity = m_engine.activity();
    const bool failed = !activity.isEmpty() && activity.first().id != before && !activity.first().ok;
    label->setText(failed ? activity.first().text : QString());
    label->setVisible(failed);
    Labels::fitHeight(this);
}

QCoro::Task<> SettingsView::createFolder() {
    const QPointer<SettingsView> self(this);
    const QUuid before = newestActivity(m_engine);
    co_await m_engine.createFolderWithAdmin();
    if (self) {
        showFailure(m_createFolderFailure, before);
        refresh();
    }
}

void SettingsView::assignFolder(const QString& path) {
    m_engine.setLutFolderPath(path);
    // Also when the engine kept its value, so that the field never shows a folder not in use.
    showFolder();
}

void SettingsView::commitFolder() {
    const QString path = m_folder->text();
    if (SyncEngine::isUsableLutFolder(path)) {
        assignFolder(path);
        return;
    }
    m_folderRefusal->setText(
        QStringLiteral("A LUT folder is a full path starting with “/”; looks still go to ") +
        m_engine.lutFolderPath());
    m_folderRefusal->show();
    showPending();
}

void SettingsView::chooseFolder() {
    const QString path =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Choose the Resolve LUT folder"),
                                          m_engine.lutFolderPath(), QFileDialog::ShowDirsOnly);
    if (!path.isEmpty()) {
        assignFolder(path);
    }
}

void SettingsView::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        showFolder();
        // The window itself takes the keyboard, not the folder field: stray keys and a Return
        // would move the LUT folder.
        setFocus(Qt::OtherFocusReason);
    }
    QWidget::showEvent(event);
}

void SettingsView::hideEvent(QHideEvent* event) {
    // Closing the window ends the editing of a folder that was typed but not yet confirmed.
    if (!event->spontaneous() && m_folder->text() != m_engine.lutFolderPath()) {
        commitFolder();
    }
    QWidget::hideEvent(event);
}
