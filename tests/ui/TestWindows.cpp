#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "support/CloudTestService.h"
#include "support/EngineFixture.h"
#include "ui/Labels.h"
#include "ui/TrayApplication.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

// A path under a regular file: nothing can be made there, even by root.
static QString blocked(const EngineFixture& fixture) {
    QFile file(fixture.path("file"));
    file.open(QIODevice::WriteOnly);
    return file.fileName() + "/LUTs";
}

class TestWindows : public QObject {
    Q_OBJECT

private slots:
    // The window opens with the keyboard elsewhere. Typing assigns nothing and says so; Return or
    // closing assigns; a relative folder is refused, naming the one in use, and the window shrinks
    // back when the refusal goes.
    void folderIsAssignedWhenEditingEnds() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        const QString defaultFolder = engine.lutFolderPath();
        SettingsView window(engine);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QLineEdit* field = window.folderField();
        QVERIFY(QApplication::focusWidget() != field);
        const int height = window.height();
        QSignalSpy assigned(&engine, &SyncEngine::lutFolderPathChanged);
        QTest::keyClicks(field, QStringLiteral("2"));
        QVERIFY(engine.lutFolderPath() == defaultFolder && window.folderPending()->isVisible());
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(engine.lutFolderPath(), defaultFolder + QStringLiteral("2"));
        QVERIFY(window.resetButton()->isEnabled() && window.folderPending()->isHidden());
        field->setText(QStringLiteral("LUTs"));
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(window.folderRefusal()->isVisible() &&
                window.folderRefusal()->text().endsWith(defaultFolder + "2"));
        QVERIFY(window.height() > height);
        field->setText(fixture.path(QStringLiteral("Graded LUTs")));
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(window.folderRefusal()->isHidden());
        QCOMPARE(window.height(), height);
        field->setText(fixture.path(QStringLiteral("Other LUTs")));
        window.close();
        QCOMPARE(engine.lutFolderPath(), fixture.path(QStringLiteral("Other LUTs")));
        QCOMPARE(assigned.size(), 3);
        window.show();
        window.resetButton()->click();
        QVERIFY(field->text() == defaultFolder && engine.lutFolderPath() == defaultFolder);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        field->setFocus(); // and the window goes with the keyboard in the field
    }

    // Failures of actions started in the settings window show under their controls.
    void settingsShowTheirOwnFailures() {
        EngineFixture fixture;
        EngineServices services = fixture.services();
        services.loginItem = std::make_shared<XdgAutostartLoginItem>(blocked(fixture), "/usr/bin/tonewharf");
        SyncEngine engine(services);
        engine.setLutFolderPath(blocked(fixture));
        SettingsView window(engine);
        window.show();
        window.launchAtLoginSwitch()->click();
        QVERIFY(!window.launchAtLoginSwitch()->isChecked() && window.launchAtLoginFailure()->isVisible());
        QVERIFY(window.launchAtLoginFailure()->text().startsWith("Launch at login: "));
        window.createFolderButton()->click(); // nobody can give administrator rights here
        QTRY_VERIFY(window.createFolderFailure()->isVisible());
        QCOMPARE(window.createFolderFailure()->text(), "Folder creation cancelled or failed");
    }

    // Assistive technology toggles a check box without clicking it; the engine must follow all the same.
    void switchesActThroughAccessibility_data() {
        QTest::addColumn<int>("index");
        QTest::newRow("accept iPads on this network") << 0;
        QTest::newRow("launch at login") << 1;
        QTest::newRow("show notifications") << 2;
        QTest::newRow("pause, in the main window") << 3;
    }

    void switchesActThroughAccessibility() {
        QFETCH(int, index);
        EngineFixture fixture;
        EngineServices services = fixture.services();
        services.loginItem =
            std::make_shared<XdgAutostartLoginItem>(fixture.path("autostart"), "/usr/bin/tonewharf");
        SyncEngine engine(services);
        TrayApplication ui(engine, {}, [] { return false; });
        SettingsView& settings = ui.settings();
        QCheckBox* const boxes[] = {settings.localSwitch(), settings.launchAtLoginSwitch(),
                                    settings.notificationsSwitch(), ui.window().findChild<QCheckBox*>()};
        const std::function<bool()> values[] = {
            [&] { return engine.localEnabled(); }, [&] { return engine.launchAtLogin(); },
            [&] { return ui.notifier().enabled(); }, [&] { return engine.paused(); }};
        const bool before = values[index]();
        QAccessible::queryAccessibleInterface(boxes[index])
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(values[index]() != before && boxes[index]->isChecked() != before);
    }

    // Without a tray the main window holds everything; a tray appearing takes it over and the
    // window comes back when the tray goes. Closing the window says once that the agent runs on;
    // Ctrl+, and Ctrl+Q work in the windows; an "Open …" command that cannot open says why.
    void mainWindowFollowsTheTray() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        bool tray = false;
        TrayApplication ui(
            engine, {}, [&] { return tray; }, std::chrono::milliseconds(10));
        QObject::disconnect(&ui, &TrayApplication::quitRequested, qApp, nullptr);
        QSignalSpy quit(&ui, &TrayApplication::quitRequested);
        ui.start();
        QVERIFY(QTest::qWaitForWindowActive(&ui.window()) && !ui.tray().icon()->isVisible());
        QTest::keyClick(&ui.window(), Qt::Key_Comma, Qt::ControlModifier);
        QVERIFY(QTest::qWaitForWindowActive(&ui.settings()));
        QTest::keyClick(&ui.settings(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.size(), 1);
        // The offscreen platform has no way to open folders, as a desktop without xdg-open has none.
        for (QPushButton* button : ui.window().findChildren<QPushButton*>()) {
            button->text() == "Open “To TINTARA” inbox" ? button->click() : void();
        }
        QCOMPARE(engine.activity().first().text,
                 "Could not open " + engine.inboxFolderPath() +
                     " — no program to open folders was found (xdg-open, from xdg-utils)");

        ui.window().close();
        ui.showWindow();
        ui.window().close();
        QCOMPARE(
            std::ranges::count_if(QApplication::topLevelWidgets(),
                                  [](QWidget* w) { return qobject_cast<QMessageBox*>(w) && w->isVisible(); }),
            1);
        ui.showWindow();
        tray = true;
        QTRY_VERIFY(ui.tray().icon()->isVisible());
        QVERIFY(ui.window().isHidden());
        ui.showWindow();
        QVERIFY(ui.settings().isVisible() && ui.window().isHidden());
        tray = false;
        QTRY_VERIFY(ui.window().isVisible());
        QVERIFY(!ui.tray().icon()->isVisible());
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
