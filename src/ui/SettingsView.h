#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SyncEngine;

// The settings window: the LUT folder, the Resolve link, the local network and the general
// switches. Every control writes straight into the engine and every line is read from it.
class SettingsView : public QWidget {
    Q_OBJECT

public:
    explicit SettingsView(SyncEngine& engine, QWidget* parent = nullptr);

    // Without a tray the window is the only way in: it then offers signing in and out and quitting.
    void setStandalone(bool standalone);

    // For tests and screenshots.
    QLineEdit* folderField() const { return m_folder; }
    QLabel* folderRefusal() const { return m_folderRefusal; }
    QPushButton* resetButton() const { return m_reset; }

signals:
    void signInRequested();
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();
    void showFolder();
    void assignFolder(const QString& path);
    void commitFolder();
    void chooseFolder();

    SyncEngine& m_engine;
    bool m_standalone = false;

    QLineEdit* m_folder;
    QLabel* m_folderRefusal;
    QLabel* m_folderProblem;
    QPushButton* m_createFolder;
    QLabel* m_folderLocked;
    QPushButton* m_reset;
    QLabel* m_scripting;
    QLabel* m_script;
    QCheckBox* m_local;
    QLabel* m_localStatus;
    QCheckBox* m_launchAtLogin;
    QLabel* m_accountLabel;
    QLabel* m_account;
    QWidget* m_commands;
    QPushButton* m_signIn;
    QPushButton* m_signOut;
};
