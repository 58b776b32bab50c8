#include "platform/FileSystem.h"
#include "platform/HostInfo.h"

#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

class TestHostInfo : public QObject {
    Q_OBJECT

private slots:
    // An empty expected name stands for the host name, which serves when machine-info names nothing.
    void readsThePrettyHostname_data() {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const char* machineInfo, const QString& expected = {}) {
            QTest::newRow(name) << QByteArray(machineInfo) << expected;
        };
        row("double quotes escape only \" \\ $ and `, as hostnamectl writes them",
            "PRETTY_HOSTNAME=\"The \\\"Blue\\\" A\\\\B \\$5 \\`x\\` C:\\Grade\"\n",
            "The \"Blue\" A\\B $5 `x` C:\\Grade");
        row("single quotes keep every character", "PRETTY_HOSTNAME='Bay \\\"B\\\"'\n", "Bay \\\"B\\\"");
        row("an escaped blank in an unquoted name", "PRETTY_HOSTNAME=Edit\\ Bay\n", "Edit Bay");
        row("other keys, one sharing the prefix, blanks and a Windows line ending are passed over",
            "PRETTY_HOSTNAME_OLD=\"Old\"\n   PRETTY_HOSTNAME=\"  Suite 4  \"  \r\nDEPLOYMENT=production\n",
            "Suite 4");
        row("a value of blanks only in quotes", "PRETTY_HOSTNAME=\"   \"\n");
        row("a commented-out name", "# PRETTY_HOSTNAME=\"Old\"\n#PRETTY_HOSTNAME=Old\n");
    }

    void readsThePrettyHostname() {
        QFETCH(QByteArray, machineInfo);
        QFETCH(QString, expected);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("machine-info"));
        QVERIFY(FileSystem::writeAtomically(path, machineInfo));
        QCOMPARE(HostInfo::computerName(path), expected.isEmpty() ? QSysInfo::machineHostName() : expected);
    }
};

QTEST_GUILESS_MAIN(TestHostInfo)
#include "TestHostInfo.moc"
