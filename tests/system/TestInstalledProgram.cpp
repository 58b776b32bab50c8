#include "support/RunProgram.h"
#include "support/RunningProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

// The program as a package installs it: `cmake --install` of this build into a temporary
// DESTDIR with the prefix /usr, then run from there.
class TestInstalledProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void desktopFilesValidate_data();
    void desktopFilesValidate();
    void menuEntryFindsItsCommandAndIcons();
    void commandLineIsAnsweredWithoutTheAgent_data();
    void commandLineIsAnsweredWithoutTheAgent();
    void installedProgramServesFromItsOwnTree();

private:
    QString installed(const QString& relative) const { return m_destdir.filePath("usr/" + relative); }
    QTemporaryDir m_destdir;
};

void TestInstalledProgram::initTestCase() {
    QVERIFY(m_destdir.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DESTDIR", m_destdir.path());
    QVERIFY(!runProgram("cmake", {"--install", TONEWHARF_BUILD_DIR, "--prefix", "/usr"}, {}, environment)
                 .isNull());
}

void TestInstalledProgram::desktopFilesValidate_data() {
    QTest::addColumn<QStringList>("command");
    QTest::newRow("the desktop entry") << QStringList{
        "desktop-file-validate", installed("share/applications/com.quillfen.Tonewharf.desktop")};
    QTest::newRow("the AppStream metainfo")
        << QStringList{"appstreamcli", "validate", "--no-net",
                       installed("share/metainfo/com.quillfen.Tonewharf.metainfo.xml")};
}

void TestInstalledProgram::desktopFilesValidate() {
    QFETCH(QStringList, command);
    const QByteArray report = runProgram(command.takeFirst(), command);
    // Not even a hint or an informational note (appstreamcli's "I:" lines), which still exit 0.
    const QRegularExpression remark("^[IWE]: |: (hint|warning|error): ", QRegularExpression::MultilineOption);
    QVERIFY2(!report.isNull() && !remark.match(report).hasMatch(), report.constData());
}

void TestInstalledProgram::menuEntryFindsItsCommandAndIcons() {
    const QSettings entry(installed("share/applications/com.quillfen.Tonewharf.desktop"),
                          QSettings::IniFormat);
    const QString icon = entry.value("Desktop Entry/Icon").toString();
    QVERIFY(QFileInfo(installed("bin/" + entry.value("Desktop Entry/Exec").toString())).isExecutable());
    QVERIFY(QFileInfo::exists(installed("share/icons/hicolor/scalable/apps/" + icon + ".svg")));
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QImage png(
            installed(QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon)));
        QCOMPARE(png.size(), QSize(size, size));
    }
}

void TestInstalledProgram::commandLineIsAnsweredWithoutTheAgent_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("error");
    QTest::newRow("--version prints the version")
        << QStringList{"--version"} << 0 << "^Tonewharf \\d+\\.\\d+\\.\\d+\\n$"
        << "^$";
    QTest::newRow("--help prints the usage") << QStringList{"--help"} << 0 << "^Usage: tonewharf .*--version"
                                             << "^$";
    QTest::newRow("an unknown argument is refused in one line")
        << QStringList{"--verbose"} << 2 << "^$"
        << "^tonewharf: [^\\n]*\"--verbose\"[^\\n]*\\n$";
    QTest::newRow("a second answer after the first is refused")
        << QStringList{"--version", "--help"} << 2 << "^$"
        << "^tonewharf: [^\\n]*\"--help\"[^\\n]*\\n$";
}

void TestInstalledProgram::commandLineIsAnsweredWithoutTheAgent() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, error);
    RunningProgram program(installed("bin/tonewharf"), arguments);
    QVERIFY(program.start());
    QCOMPARE(program.waitForExit(), std::optional<int>(status));
    const auto dotAll = QRegularExpression::DotMatchesEverythingOption;
    const QString printed = program.process().readAllStandardOutput();
    const QString complained = program.process().readAllStandardError();
    QVERIFY2(QRegularExpression(output, dotAll).match(printed).hasMatch(), qPrintable(printed));
    QVERIFY2(QRegularExpression(error, dotAll).match(complained).hasMatch(), qPrintable(complained));
    // The agent never started: it would have made its support folder.
    QVERIFY(QDir(program.path("home")).isEmpty());
}

void TestInstalledProgram::installedProgramServesFromItsOwnTree() {
    RunningProgram program(installed("bin/tonewharf"));
    FakeResolveInstallation resolve(program.path("resolve"));
    QVERIFY2(resolve.isValid(), qPrintable(resolve.problem()));
    QVERIFY(program.start());
    const std::optional<quint16> port = program.waitForListeningPort();
    QVERIFY(port);
    const QString server = QStringLiteral("http://127.0.0.1:%1").arg(*port);

    const QByteArray hello = runProgram("curl", {"-s", "-i", "--max-time", "5", server + "/v1/hello"});
    QVERIFY2(hello.startsWith("HTTP/1.1 200 OK\r\n"), hello.constData());
    // The bridge script came from the installed tree: it is the one thing that imports the fake module.
    QTRY_VERIFY_WITH_TIMEOUT(resolve.calls().contains("import"), 10000);

    // The still templates too: a look with CDL values becomes a still in "Looks".
    const QByteArray look =
        R"({"name":"Warm.cube","size":2,"cube":"LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n","look":{"name":"Warm","space":"rec709","slope":[1.1,1,0.9],"offset":[0,0,0],"power":[1,1,1],"saturation":1.2}})";
    const QByteArray answer =
        runProgram("curl",
                   {"-s", "-i", "--max-time", "10", "-H", "Content-Type: application/json", "--data-binary",
                    "@-", server + "/v1/luts"},
                   look);
    QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n"), answer.constData());
    QVERIFY(QFileInfo(program.path("resolve/LUT/Tonewharf/Looks/Warm.drx")).size() > 0);

    QCOMPARE(program.stop(), std::optional<int>(0));
}

QTEST_GUILESS_MAIN(TestInstalledProgram)
#include "TestInstalledProgram.moc"
