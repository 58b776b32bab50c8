#include "platform/FileSystem.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "support/RunProgram.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// The autostart entry in a temporary config folder, judged by GLib's own launcher (gio launch).
class TestXdgAutostartLoginItem : public QObject {
    Q_OBJECT

private slots:
    void startsAProgramWhosePathIsHostile_data() {
        QTest::addColumn<QString>("folder");
        QTest::newRow("spaces, quotes and backslashes") << QStringLiteral("My \"Apps\" 'x' a\\b\\\\c\\");
        QTest::newRow("percent signs and an equals sign") << QStringLiteral("100% %f %%u a=b");
        QTest::newRow("shell characters, a tab and a line break")
            << QStringLiteral("$HOME `id`;&|*?~#\tö\n1");
    }

    void startsAProgramWhosePathIsHostile() {
        QFETCH(QString, folder);
        QTemporaryDir dir;
        const QString program = dir.filePath(folder + QStringLiteral("/tone wharf"));
        const QString marker = dir.filePath(QStringLiteral("started"));
        // The program writes down the path it was started as.
        QVERIFY(QDir().mkpath(QFileInfo(program).path()) &&
                FileSystem::writeAtomically(program,
                                            "#!/bin/sh\nprintf %s \"$0\" > '" + marker.toUtf8() + "'\n") &&
                QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
        XdgAutostartLoginItem item(dir.filePath(QStringLiteral("config/autostart")), program);
        QVERIFY(!item.isEnabled());
        QCOMPARE(item.setEnabled(true), QString());
        QVERIFY(item.isEnabled());
        QVERIFY(!runProgram(QStringLiteral("gio"), {QStringLiteral("launch"), item.entryPath()}).isNull());
        QTRY_COMPARE(FileSystem::readAll(marker), std::optional<QByteArray>(program.toUtf8()));
        QCOMPARE(item.setEnabled(false), QString());
        QVERIFY(!item.isEnabled() && !QFile::exists(item.entryPath()));
    }

    void readsWhatTheUserSwitchedOff_data() {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("hidden by the user") << QByteArray("Hidden=true\n") << false;
        QTest::newRow("GNOME's switch off, with spaces")
            << QByteArray("X-GNOME-Autostart-enabled = false\n") << false;
        QTest::newRow("not a desktop entry at all") << QByteArray("\xff[garbage\n") << false;
    }

    void readsWhatTheUserSwitchedOff() {
        QFETCH(QByteArray, lines);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        XdgAutostartLoginItem item(dir.path(), QStringLiteral("/usr/bin/tonewharf"));
        QVERIFY(FileSystem::writeAtomically(item.entryPath(),
                                            "[Desktop Entry]\nType=Application\nExec=x\n" + lines));
        QCOMPARE(item.isEnabled(), enabled);
    }
};

QTEST_GUILESS_MAIN(TestXdgAutostartLoginItem)
#include "TestXdgAutostartLoginItem.moc"
