#include "ui/LoginView.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "ui/Labels.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

LoginView::LoginView(SyncEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_engine(engine) {
    setObjectName(QStringLiteral("login"));
    setWindowTitle(QStringLiteral("Sign in to TINTARA"));

    auto* headline = new QLabel(QStringLiteral("Sign in with your TINTARA account"));
    QFont font = headline->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    headline->setFont(font);
    auto* callout = Labels::caption(
        QStringLiteral("Looks you send to DaVinci from the iPad will land in Resolve's LUT folder on ") +
        Labels::thisComputer() +
        QStringLiteral(", and grades you send from Resolve will show up in TINTARA."));
    m_email = new QLineEdit;
    m_email->setPlaceholderText(QStringLiteral("Email"));
    m_email->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    m_password = new QLineEdit;
    m_password->setPlaceholderText(QStringLiteral("Password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_status = Labels::coloured(Labels::errorRed);
    Labels::makeSmaller(m_status, 0.85);

    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    m_signIn = new QPushButton;
    // Drawn as the default button; Return is handled by the window itself (see keyPressEvent).
    m_signIn->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(m_signIn);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(14);
    for (QWidget* widget :
         {static_cast<QWidget*>(headline), static_cast<QWidget*>(callout), static_cast<QWidget*>(m_email),
          static_cast<QWidget*>(m_password), static_cast<QWidget*>(m_status)}) {
        layout->addWidget(widget);
    }
    layout->addLayout(buttons);
    setFixedWidth(380);

    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    connect(m_signIn, &QPushButton::clicked, this, &LoginView::submit);
    // Submitting from a field does not wait for both fields to be filled in.
    connect(m_email, &QLineEdit::returnPressed, this, &LoginView::submit);
    connect(m_password, &QLineEdit::returnPressed, this, &LoginView::submit);
    connect(m_email, &QLineEdit::textChanged, this, &LoginView::refresh);
    connect(m_password, &QLineEdit::textChanged, this, &LoginView::refresh);
    connect(engine.cloud(), &CloudStore::statusChanged, this, &LoginView::refresh);
    connect(engine.cloud(), &CloudStore::signedInChanged, this, &LoginView::refresh);
    refresh();
}

void LoginView::refresh() {
    const CloudStore& cloud = *m_engine.cloud();
    m_status->setText(cloud.status());
    m_status->setVisible(!cloud.status().isEmpty() && !cloud.signedIn());
    m_signIn->setText(m_busy ? QStringLiteral("Signing in…") : QStringLiteral("Sign in"));
    m_signIn->setEnabled(!m_busy && !m_email->text().isEmpty() && !m_password->text().isEmpty());
    Labels::fitHeight(this);
}

void LoginView::setBusy(bool busy) {
    m_busy = busy;
    refresh();
}

void LoginView::submit() {
    // A second request while one runs would only race the first one's outcome.
    if (m_busy) {
        return;
    }
    signIn(m_email->text(), m_password->text());
}

QCoro::Task<> LoginView::signIn(QString email, QString password) {
    QPointer<LoginView> self = this;
    QPointer<SyncEngine> engine = &m_engine;
    setBusy(true);
    const bool ok = co_await engine->cloud()->signIn(email, password);
    if (engine && ok) {
        engine->log(QStringLiteral("Signed in as ") + engine->cloud()->email(), true);
        engine->start();
    }
    if (!self) {
        co_return;
    }
    if (ok) {
        close();
        emit signedIn();
    }
    setBusy(false);
}

void LoginView::keyPressEvent(QKeyEvent* event) {
    // The fields submit on their own; elsewhere in the window Return presses the default button.
    const bool inField = focusWidget() == m_email || focusWidget() == m_password;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !inField) {
        if (m_signIn->isEnabled()) {
            submit();
        }
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LoginView::hideEvent(QHideEvent* event) {
    // Opening the window again starts with empty fields, as after a successful sign-in.
    if (!event->spontaneous()) {
        m_email->clear();
        m_password->clear();
    }
    QWidget::hideEvent(event);
}
