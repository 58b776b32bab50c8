#include "platform/HostInfo.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

class TestHostInfo : public QObject {
    Q_OBJECT

private slots:
    void readsThePrettyHostname_data();
    void readsThePrettyHostname();
};

// An empty expected name stands for the host name, which serves when machine-info names nothing.
void TestHostInfo::readsThePrettyHostname_data() {
    QTest::addColumn<QByteArray>("machineInfo"); // null: no file at all
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* name, const char* machineInfo, const QString& expected = {}) {
        QTest::newRow(name) << QByteArray(machineInfo) << expected;
    };
    row("a double-quoted name as hostnamectl writes it", "PRETTY_HOSTNAME=\"Ana's Grading Suite\"\n",
        "Ana's Grading Suite");
    row("single quotes keep backslashes and double quotes", "PRETTY_HOSTNAME='Bay \\\"B\\\"'\n",
        "Bay \\\"B\\\"");
    row("escaped double quote, backslash, dollar and backtick inside double quotes",
        "PRETTY_HOSTNAME=\"The \\\"Blue\\\" A\\\\B \\$5 \\`x\\`\"\n", "The \"Blue\" A\\B $5 `x`");
    row("a backslash before an ordinary character stays inside double quotes",
        "PRETTY_HOSTNAME=\"C:\\Grade\"\n", "C:\\Grade");
    row("an escaped blank in an unquoted name", "PRETTY_HOSTNAME=Edit\\ Bay\n", "Edit Bay");
    row("other keys, one of them sharing the prefix, are ignored",
        "CHASSIS=laptop\nPRETTY_HOSTNAME_OLD=\"Old\"\nPRETTY_HOSTNAME=\"New\"\nDEPLOYMENT=production\n",
        "New");
    row("blanks around the line and inside the quotes are trimmed", "   PRETTY_HOSTNAME=\"  Suite 4  \"   \n",
        "Suite 4");
    row("a Windows line ending does not end up in the name", "PRETTY_HOSTNAME=\"Suite 5\"\r\n", "Suite 5");

    row("no machine-info file", nullptr);
    row("machine-info is a folder", "folder");
    row("machine-info without the key", "CHASSIS=desktop\n");
    row("a value of blanks only in quotes", "PRETTY_HOSTNAME=\"   \"\n");
    row("a commented-out name", "# PRETTY_HOSTNAME=\"Old\"\n#PRETTY_HOSTNAME=Old\n");
}

void TestHostInfo::readsThePrettyHostname() {
    QFETCH(QByteArray, machineInfo);
    QFETCH(QString, expected);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("machine-info"));
    if (machineInfo == "folder") {
        QVERIFY(QDir().mkpath(path));
    } else if (!machineInfo.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(machineInfo), machineInfo.size());
    }
    if (expected.isEmpty()) {
        const QString host = QSysInfo::machineHostName().trimmed();
        expected = host.isEmpty() ? QStringLiteral("Mac") : host;
    }
    QCOMPARE(HostInfo::computerName(path), expected);
}

QTEST_GUILESS_MAIN(TestHostInfo)
#include "TestHostInfo.moc"
