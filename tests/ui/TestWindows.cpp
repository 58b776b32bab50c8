#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "support/CloudTestService.h"
#include "support/EngineFixture.h"
#include "ui/Labels.h"
#include "ui/LoginView.h"
#include "ui/SettingsView.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

class TestWindows : public QObject {
    Q_OBJECT

private slots:
    void folderIsAssignedWhenEditingEnds();
    void signInFromTheWindow();
};

void TestWindows::folderIsAssignedWhenEditingEnds() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    const QString defaultFolder = engine.services().resolveProfile.defaultLutFolder();
    QCOMPARE(engine.lutFolderPath(), defaultFolder);
    SettingsView window(engine);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QLineEdit* field = window.folderField();
    QSignalSpy assigned(&engine, &SyncEngine::lutFolderPathChanged);
    QVERIFY(!window.resetButton()->isEnabled());

    // Typing assigns nothing; Return assigns once.
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral("2"));
    QCOMPARE(engine.lutFolderPath(), defaultFolder);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(assigned.size(), 1);
    QCOMPARE(engine.lutFolderPath(), defaultFolder + QStringLiteral("2"));
    QVERIFY(window.resetButton()->isEnabled());

    // A relative folder is refused, and the field says which folder is still in use.
    field->selectAll();
    QTest::keyClicks(field, QStringLiteral("LUTs"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(engine.lutFolderPath(), defaultFolder + QStringLiteral("2"));
    QVERIFY(window.folderRefusal()->isVisible());
    QVERIFY(window.folderRefusal()->text().endsWith(defaultFolder + QStringLiteral("2")));

    // Closing the window ends the editing of a folder typed but not confirmed.
    const QString typed = fixture.path(QStringLiteral("Graded LUTs"));
    field->setText(typed);
    window.close();
    QCOMPARE(engine.lutFolderPath(), typed);
    QCOMPARE(assigned.size(), 2);

    window.show();
    QVERIFY(window.folderRefusal()->isHidden());
    window.resetButton()->click();
    QCOMPARE(engine.lutFolderPath(), defaultFolder);
    QCOMPARE(field->text(), defaultFolder);
    QVERIFY(!window.resetButton()->isEnabled());
}

void TestWindows::signInFromTheWindow() {
    CloudTestService service;
    QVERIFY(service.start());
    QVERIFY(
        !service.createUser(QStringLiteral("ada@example.com"), QStringLiteral("right password")).isEmpty());
    EngineFixture fixture;
    EngineServices services = fixture.services();
    services.cloudUrl = service.baseUrl();
    SyncEngine engine(services);
    LoginView window(engine);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QPushButton* button = window.signInButton();

    // Return in a field submits even with an empty password; the service's refusal shows in red.
    QTest::keyClicks(window.emailField(), QStringLiteral("ada@example.com"));
    QVERIFY(!button->isEnabled());
    QTest::keyClick(window.emailField(), Qt::Key_Return);
    QVERIFY(window.busy());
    QCOMPARE(button->text(), QStringLiteral("Signing in…"));
    QTRY_VERIFY(!window.busy());
    const QJsonObject sent =
        QJsonDocument::fromJson(CloudTestService::body(service.requests().last())).object();
    QCOMPARE(sent.value(QStringLiteral("password")).toString(QStringLiteral("(absent)")), QString());
    QVERIFY(window.statusLine()->isVisible());
    QCOMPARE(window.statusLine()->text(), engine.cloud()->status());
    QCOMPARE(window.statusLine()->palette().color(QPalette::WindowText), Labels::errorRed);
    QCOMPARE(window.emailField()->text(), QStringLiteral("ada@example.com"));

    QTest::keyClicks(window.passwordField(), QStringLiteral("right password"));
    QVERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(window.isHidden());
    QVERIFY(engine.cloud()->signedIn());
    QVERIFY(engine.started());
    // Logged before the start-up that follows it.
    QVERIFY(std::ranges::any_of(engine.activity(), [](const Activity& entry) {
        return entry.text == QStringLiteral("Signed in as ada@example.com") && entry.ok;
    }));

    window.show();
    QVERIFY(window.emailField()->text().isEmpty() && window.passwordField()->text().isEmpty());
    QVERIFY(window.statusLine()->isHidden());
}

QTEST_MAIN(TestWindows)
#include "TestWindows.moc"
