#include "ui/SettingsView.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "ui/Labels.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
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

} // namespace

SettingsView::SettingsView(SyncEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_engine(engine) {
    setWindowTitle(QStringLiteral("Tonewharf Settings"));
    setFixedWidth(480);

    // Resolve LUT folder.
    m_folder = new QLineEdit;
    auto* choose = new QPushButton(QStringLiteral("Choose…"));
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(m_folder, 1);
    folderRow->addWidget(choose);
    auto* folderForm = new Rows;
    folderForm->addRow(folderRow, QStringLiteral("Folder"));
    m_folderRefusal = Labels::coloured(Labels::errorRed);
    m_folderProblem = Labels::coloured(Labels::warningOrange);
    m_createFolder = new QPushButton(QStringLiteral("Create folder (admin)…"));
    m_folderLocked =
        Labels::caption(QStringLiteral("The folder exists and cannot be written — choose another one."));
    m_reset = new QPushButton(QStringLiteral("Reset to Resolve's default"));
    auto* folder = new QVBoxLayout;
    folder->addLayout(folderForm);
    folder->addWidget(m_folderRefusal);
    folder->addWidget(Labels::caption(QStringLiteral(
        "Looks sent from TINTARA are written here (Resolve shows them under this folder's name); "
        "the “To TINTARA” subfolder is the inbox for grades exported from Resolve.")));
    folder->addWidget(m_folderProblem);
    folder->addWidget(m_createFolder, 0, Qt::AlignLeft);
    folder->addWidget(m_folderLocked);
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
    local->addRow(Labels::caption(QStringLiteral(
        "TINTARA on an iPad connected to the same network finds this Mac by itself and sends looks straight "
        "here — no internet needed. Grades exported from Resolve reach the iPad the same way. The cloud "
        "keeps working alongside when it is reachable.")));
    local->addRow(QStringLiteral("Status"), m_localStatus);

    // General.
    m_launchAtLogin = new QCheckBox(QStringLiteral("Launch at login"));
    m_account = value();
    m_signIn = new QPushButton(QStringLiteral("Sign in to TINTARA…"));
    m_signOut = new QPushButton(QStringLiteral("Sign out"));
    auto* quit = new QPushButton(QStringLiteral("Quit Tonewharf"));
    m_commands = new QWidget;
    auto* commands = new QHBoxLayout(m_commands);
    commands->setContentsMargins(0, 0, 0, 0);
    commands->addWidget(m_signIn);
    commands->addWidget(m_signOut);
    commands->addStretch(1);
    commands->addWidget(quit);
    auto* general = new Rows;
    general->addRow(m_launchAtLogin);
    m_accountLabel = general->addRow(QStringLiteral("Account"), m_account);
    general->addRow(m_commands);

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
    connect(m_createFolder, &QPushButton::clicked, this, [this] { m_engine.createFolderWithAdmin(); });
    connect(m_local, &QCheckBox::clicked, this, [this](bool on) {
        m_engine.setLocalEnabled(on);
        refresh();
    });
    connect(m_launchAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        m_engine.setLaunchAtLogin(on);
        refresh();
    });
    connect(m_signIn, &QPushButton::clicked, this, &SettingsView::signInRequested);
    connect(m_signOut, &QPushButton::clicked, this, [this] { m_engine.signOut(); });
    connect(quit, &QPushButton::clicked, this, &SettingsView::quitRequested);

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

void SettingsView::setStandalone(bool standalone) {
    m_standalone = standalone;
    refresh();
}

void SettingsView::refresh() {
    const std::optional<QString> problem = m_engine.folderProblem();
    m_folderProblem->setText(QStringLiteral("⚠︎ ") + problem.value_or(QString()));
    m_folderProblem->setVisible(problem.has_value());
    const bool locked = problem && m_engine.lutFolderLocked();
    m_createFolder->setVisible(problem && !locked);
    m_folderLocked->setVisible(locked);
    m_reset->setEnabled(m_engine.lutFolderPath() != m_engine.services().resolveProfile.defaultLutFolder());

    m_scripting->setText(m_engine.resolve()->health().label());
    m_script->setText(m_engine.resolveScriptInstalled()
                          ? QStringLiteral("Installed (Color page → Workspace → Scripts)")
                          : QStringLiteral("Not installed"));
    m_local->setChecked(m_engine.localEnabled());
    m_localStatus->setText(localStatus(m_engine));

    const bool signedIn = m_engine.cloud()->signedIn();
    m_launchAtLogin->setChecked(m_engine.launchAtLogin());
    m_account->setText(m_engine.cloud()->email());
    m_accountLabel->setVisible(signedIn);
    m_account->setVisible(signedIn);
    m_commands->setVisible(m_standalone);
    m_signIn->setVisible(!signedIn);
    m_signOut->setVisible(signedIn);
    Labels::fitHeight(this);
}

void SettingsView::showFolder() {
    m_folder->setText(m_engine.lutFolderPath());
    m_folderRefusal->hide();
    Labels::fitHeight(this);
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
    Labels::fitHeight(this);
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
