#pragma once

#include <QCoro/QCoroTask>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class SyncEngine;

// The sign-in window: an e-mail address and a password for the cloud service. Its fields start
// empty each time it is opened; the cloud client's status tells why a sign-in failed.
class LoginView : public QWidget {
    Q_OBJECT

public:
    explicit LoginView(SyncEngine& engine, QWidget* parent = nullptr);

    bool busy() const { return m_busy; }
    // Starts a sign-in with the fields as typed; nothing while one is running.
    void submit();

    // For tests and screenshots.
    QLineEdit* emailField() const { return m_email; }
    QLineEdit* passwordField() const { return m_password; }
    QLabel* statusLine() const { return m_status; }
    QPushButton* signInButton() const { return m_signIn; }

signals:
    void signedIn();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QCoro::Task<> signIn(QString email, QString password);
    void setBusy(bool busy);
    void refresh();

    SyncEngine& m_engine;
    bool m_busy = false;
    QLineEdit* m_email;
    QLineEdit* m_password;
    QLabel* m_status;
    QPushButton* m_signIn;
};
