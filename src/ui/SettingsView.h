#pragma once

#include <QCoro/QCoroTask>
#include <QUuid>
#include <QWidget>

class Notifier;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SyncEngine;

// The settings window: the LUT folder, the Resolve link, the local network and the general
// switches. Every control writes straight into the engine and every line is read from it; the
// failure of an action started here shows under its control.
class SettingsView : public QWidget {
    Q_OBJECT

public:
    // Without a notifier there is no "Show notifications" switch.
    explicit SettingsView(SyncEngine& engine, Notifier* notifier = nullptr, QWidget* parent = nullptr);
    ~SettingsView() override;

    // For tests and screenshots.
    QLineEdit* folderField() const { return m_folder; }
    QLabel* folderRefusal() const { return m_folderRefusal; }
    QLabel* folderPending() const { return m_folderPending; }
    QPushButton* resetButton() const { return m_reset; }
    QPushButton* createFolderButton() const { return m_createFolder; }
    QLabel* createFolderFailure() const { return m_createFolderFailure; }
    QCheckBox* localSwitch() const { return m_local; }
    QCheckBox* launchAtLoginSwitch() const { return m_launchAtLogin; }
    QLabel* launchAtLoginFailure() const { return m_launchFailure; }
    QCheckBox* notificationsSwitch() const { return m_notifications; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();
    void showFolder();
    void showPending();
    void showFailure(QLabel* label, const QUuid& before);
    void assignFolder(const QString& path);
    void commitFolder();
    void chooseFolder();
    QCoro::Task<> createFolder();

    SyncEngine& m_engine;
    Notifier* m_notifier;

    QLineEdit* m_folder;
    QLabel* m_folderRefusal;
    QLabel* m_folderPending;
    QLabel* m_folderProblem;
    QPushButton* m_createFolder;
    QLabel* m_folderLocked;
    QLabel* m_createFolderFailure;
    QPushButton* m_reset;
    QLabel* m_scripting;
    QLabel* m_script;
    QCheckBox* m_local;
    QLabel* m_localStatus;
    QCheckBox* m_launchAtLogin;
    QLabel* m_launchFailure;
    QCheckBox* m_notifications;
    QLabel* m_accountLabel;
    QLabel* m_account;
};
