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

class TestWindows : public QObject {
    Q_OBJECT

private slots:
    // Typing assigns nothing; Return or closing assigns; a relative folder is refused, naming the one in use.
    void folderIsAssignedWhenEditingEnds() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        const QString defaultFolder = engine.lutFolderPath();
        SettingsView window(engine);
        window.show();
        QLineEdit* field = window.folderField();
        QSignalSpy assigned(&engine, &SyncEngine::lutFolderPathChanged);
        QTest::keyClicks(field, QStringLiteral("2"));
        QCOMPARE(engine.lutFolderPath(), defaultFolder);
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(engine.lutFolderPath(), defaultFolder + QStringLiteral("2"));
        QVERIFY(window.resetButton()->isEnabled());
        field->setText(QStringLiteral("LUTs"));
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(window.folderRefusal()->isVisible() &&
                window.folderRefusal()->text().endsWith(defaultFolder + "2"));
        field->setText(fixture.path(QStringLiteral("Graded LUTs")));
        window.close();
        QCOMPARE(engine.lutFolderPath(), fixture.path(QStringLiteral("Graded LUTs")));
        QCOMPARE(assigned.size(), 2);
        window.show();
        QVERIFY(window.folderRefusal()->isHidden());
        window.resetButton()->click();
        QVERIFY(field->text() == defaultFolder && engine.lutFolderPath() == defaultFolder);
    }

    // Return in a field submits even with an empty password; the service's refusal shows in red.
    void signInFromTheWindow() {
        CloudTestService service;
        QVERIFY(service.start());
        service.createUser(QStringLiteral("ada@example.com"), QStringLiteral("right password"));
        EngineFixture fixture;
        EngineServices services = fixture.services();
        services.cloudUrl = service.baseUrl();
        SyncEngine engine(services);
        LoginView window(engine);
        window.show();
        QTest::keyClicks(window.emailField(), QStringLiteral("ada@example.com"));
        QVERIFY(!window.signInButton()->isEnabled());
        QTest::keyClick(window.emailField(), Qt::Key_Return);
        QCOMPARE(window.signInButton()->text(), QStringLiteral("Signing in…"));
        QTRY_VERIFY(!window.busy());
        const QJsonObject sent =
            QJsonDocument::fromJson(CloudTestService::body(service.requests().last())).object();
        QCOMPARE(sent.value(QStringLiteral("password")).toString(QStringLiteral("(absent)")), QString());
        QVERIFY(window.statusLine()->isVisible() && window.statusLine()->text() == engine.cloud()->status());
        QCOMPARE(window.statusLine()->palette().color(QPalette::WindowText), Labels::errorRed);

        QTest::keyClicks(window.passwordField(), QStringLiteral("right password"));
        QTest::mouseClick(window.signInButton(), Qt::LeftButton);
        QTRY_VERIFY(window.isHidden());
        QVERIFY(engine.cloud()->signedIn() && engine.started());
        window.show(); // afresh
        QVERIFY(window.emailField()->text().isEmpty() && window.passwordField()->text().isEmpty());
        QVERIFY(window.statusLine()->isHidden());
    }
};

QTEST_MAIN(TestWindows)
#include "TestWindows.moc"
