#include "platform/HostInfo.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

// What the computer is called when machine-info names nothing.
QString hostNameFallback() {
    const QString host = QSysInfo::machineHostName().trimmed();
    return host.isEmpty() ? QStringLiteral("Mac") : host;
}

} // namespace

class TestHostInfo : public QObject {
    Q_OBJECT

private slots:
    void prettyHostnameIsTheName_data();
    void prettyHostnameIsTheName();
    void withoutPrettyHostnameTheHostNameServes_data();
    void withoutPrettyHostnameTheHostNameServes();

private:
    QTemporaryDir m_folder;
};

void TestHostInfo::prettyHostnameIsTheName_data() {
    QTest::addColumn<QByteArray>("machineInfo");
    QTest::addColumn<QString>("expected");

    QTest::newRow("a double-quoted name as hostnamectl writes it")
        << QByteArray("PRETTY_HOSTNAME=\"Ana's Grading Suite\"\n") << QStringLiteral("Ana's Grading Suite");
    QTest::newRow("a single word needs no quotes")
        << QByteArray("PRETTY_HOSTNAME=Studio\n") << QStringLiteral("Studio");
    QTest::newRow("single quotes keep backslashes and double quotes")
        << QByteArray("PRETTY_HOSTNAME='Bay \\\"B\\\"'\n") << QStringLiteral("Bay \\\"B\\\"");
    QTest::newRow("escaped double quotes inside double quotes")
        << QByteArray("PRETTY_HOSTNAME=\"The \\\"Blue\\\" Room\"\n") << QStringLiteral("The \"Blue\" Room");
    QTest::newRow("escaped backslash, dollar and backtick inside double quotes")
        << QByteArray("PRETTY_HOSTNAME=\"A\\\\B \\$5 \\`x\\`\"\n") << QStringLiteral("A\\B $5 `x`");
    QTest::newRow("a backslash before an ordinary character stays inside double quotes")
        << QByteArray("PRETTY_HOSTNAME=\"C:\\Grade\"\n") << QStringLiteral("C:\\Grade");
    QTest::newRow("an escaped blank in an unquoted name")
        << QByteArray("PRETTY_HOSTNAME=Edit\\ Bay\n") << QStringLiteral("Edit Bay");
    QTest::newRow("other keys around it are ignored")
        << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Colour Bay\"\nDEPLOYMENT=production\n")
        << QStringLiteral("Colour Bay");
    QTest::newRow("a longer key sharing the prefix is not the name")
        << QByteArray("PRETTY_HOSTNAME_OLD=\"Old\"\nPRETTY_HOSTNAME=\"New\"\n") << QStringLiteral("New");
    QTest::newRow("blanks around the line and inside the quotes are trimmed")
        << QByteArray("   PRETTY_HOSTNAME=\"  Suite 4  \"   \n") << QStringLiteral("Suite 4");
    QTest::newRow("UTF-8 names are decoded")
        << QByteArray("PRETTY_HOSTNAME=\"Zo\xc3\xab\xe2\x80\x99s Mac\"\n") << QStringLiteral("Zoë’s Mac");
    QTest::newRow("a Windows line ending does not end up in the name")
        << QByteArray("PRETTY_HOSTNAME=\"Suite 5\"\r\n") << QStringLiteral("Suite 5");
}

void TestHostInfo::prettyHostnameIsTheName() {
    QFETCH(QByteArray, machineInfo);
    QFETCH(QString, expected);
    QVERIFY(m_folder.isValid());
    const QString path = m_folder.filePath(QStringLiteral("machine-info"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(machineInfo), machineInfo.size());
    file.close();

    QCOMPARE(HostInfo::computerName(path), expected);
}

void TestHostInfo::withoutPrettyHostnameTheHostNameServes_data() {
    QTest::addColumn<QByteArray>("machineInfo"); // empty: no file at all
    QTest::addColumn<bool>("isFolder");

    QTest::newRow("no machine-info file") << QByteArray() << false;
    QTest::newRow("machine-info is a folder") << QByteArray() << true;
    QTest::newRow("machine-info without the key") << QByteArray("CHASSIS=desktop\n") << false;
    QTest::newRow("an empty unquoted value") << QByteArray("PRETTY_HOSTNAME=\n") << false;
    QTest::newRow("an empty quoted value") << QByteArray("PRETTY_HOSTNAME=\"\"\n") << false;
    QTest::newRow("a value of blanks only") << QByteArray("PRETTY_HOSTNAME=\"   \"\n") << false;
    QTest::newRow("a commented-out name")
        << QByteArray("# PRETTY_HOSTNAME=\"Old\"\n#PRETTY_HOSTNAME=Old\n") << false;
}

void TestHostInfo::withoutPrettyHostnameTheHostNameServes() {
    QFETCH(QByteArray, machineInfo);
    QFETCH(bool, isFolder);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("machine-info"));
    if (isFolder) {
        QVERIFY(QDir().mkpath(path));
    } else if (!machineInfo.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(machineInfo), machineInfo.size());
    }

    QCOMPARE(HostInfo::computerName(path), hostNameFallback());
}

QTEST_GUILESS_MAIN(TestHostInfo)
#include "TestHostInfo.moc"
