#include "platform/linux/XdgAutostartLoginItem.h"
#include "support/RunProgram.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The autostart entry in a temporary config folder, judged by GLib's own desktop-entry launcher.
class TestXdgAutostartLoginItem : public QObject {
    Q_OBJECT

private slots:
    void startsAProgramWhosePathIsHostile_data() {
        QTest::addColumn<QString>("folderName");
        QTest::newRow("spaces and both quotes") << QStringLiteral("My \"Apps\" 'here'");
        QTest::newRow("backslashes, single and doubled") << QStringLiteral("a\\b\\\\c\\");
        QTest::newRow("percent signs that look like field codes, and an equals sign")
            << QStringLiteral("100% %f %%u a=b");
        QTest::newRow("shell characters") << QStringLiteral("$HOME `id` ; & | * ? ~ #(x)");
        QTest::newRow("a tab, a line break and non-ASCII letters") << QStringLiteral("Tö\tne\nwharf ✓");
    }

    void startsAProgramWhosePathIsHostile() {
        QFETCH(QString, folderName);
        if (QStandardPaths::findExecutable(QStringLiteral("gio")).isEmpty()) {
            QSKIP("gio (libglib2.0-bin) is not installed");
        }
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(folderName));
        const QString program = dir.filePath(folderName + QStringLiteral("/tone wharf"));
        const QString marker = dir.filePath(QStringLiteral("started"));
        // The program reports the path it was started as.
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s' \"$0\" > '" + marker.toUtf8() + "'\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

        XdgAutostartLoginItem item(dir.filePath(QStringLiteral("config/autostart")), program);
        QVERIFY(!item.isEnabled());
        QCOMPARE(item.setEnabled(true), QString());
        QVERIFY(item.isEnabled());
        QVERIFY(!runProgram(QStringLiteral("gio"), {QStringLiteral("launch"), item.entryPath()}).isNull());
        QTRY_VERIFY(QFile::exists(marker));
        QFile started(marker);
        QVERIFY(started.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(started.readAll()), program);

        QCOMPARE(item.setEnabled(false), QString());
        QVERIFY(!QFile::exists(item.entryPath()));
        QVERIFY(!item.isEnabled());
        QCOMPARE(item.setEnabled(false), QString());
    }

    void readsWhatTheUserSwitchedOff_data() {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("an entry the user hid is off") << QByteArray("Hidden=true\n") << false;
        QTest::newRow("GNOME's switch set to false is off, spaces around the sign or not")
            << QByteArray("X-GNOME-Autostart-enabled = false \n") << false;
        QTest::newRow("Hidden=false is on") << QByteArray("Hidden=false\n") << true;
        QTest::newRow("a commented-out switch is on") << QByteArray("#Hidden=true\n") << true;
        QTest::newRow("a switch in another group is on")
            << QByteArray("[Desktop Action Quit]\nHidden=true\n") << true;
        QTest::newRow("a file that is not a desktop entry is off") << QByteArray("\xff[garbage\n") << false;
    }

    void readsWhatTheUserSwitchedOff() {
        QFETCH(QByteArray, lines);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        XdgAutostartLoginItem item(dir.path(), QStringLiteral("/usr/bin/tonewharf"));
        QFile entry(item.entryPath());
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nExec=tonewharf\n" + lines);
        entry.close();
        QCOMPARE(item.isEnabled(), enabled);
    }

    void reportsWhyItCannotRegister() {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("config")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        XdgAutostartLoginItem item(dir.filePath(QStringLiteral("config/autostart")),
                                   QStringLiteral("/usr/bin/tonewharf"));
        QVERIFY(!item.isEnabled());
        QVERIFY(!item.setEnabled(true).isEmpty());
        QVERIFY(!item.isEnabled());
    }
};

QTEST_GUILESS_MAIN(TestXdgAutostartLoginItem)
#include "TestXdgAutostartLoginItem.moc"
