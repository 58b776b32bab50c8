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
        QVERIFY(item.setEnabled(true).isEmpty() && item.isEnabled());
        QVERIFY(!runProgram(QStringLiteral("gio"), {QStringLiteral("launch"), item.entryPath()}).isNull());
        QTRY_COMPARE(FileSystem::readAll(marker), std::optional<QByteArray>(program.toUtf8()));
        QVERIFY(item.setEnabled(false).isEmpty() && !item.isEnabled() && !QFile::exists(item.entryPath()));
    }

    // Hidden by the user, switched off in GNOME (with spaces), or not a desktop entry at all.
    void readsWhatTheUserSwitchedOff() {
        QTemporaryDir dir;
        XdgAutostartLoginItem item(dir.path(), QStringLiteral("/usr/bin/tonewharf"));
        for (const char* line : {"Hidden=true\n", "X-GNOME-Autostart-enabled = false\n", "\xff[garbage\n"}) {
            QVERIFY(FileSystem::writeAtomically(item.entryPath(),
                                                "[Desktop Entry]\nExec=x\n" + QByteArray(line)));
            QVERIFY2(!item.isEnabled(), line);
        }
    }
};

QTEST_GUILESS_MAIN(TestXdgAutostartLoginItem)
#include "TestXdgAutostartLoginItem.moc"
