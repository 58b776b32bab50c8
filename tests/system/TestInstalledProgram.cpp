#include "support/RunProgram.h"
#include "support/RunningProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

// The program as the package installs it: this build installed into a temporary DESTDIR under
// the prefix /usr, and run from there.
class TestInstalledProgram : public QObject {
    Q_OBJECT
    QTemporaryDir m_destdir;
    QString installed(const QString& relative) const { return m_destdir.filePath("usr/" + relative); }

private slots:
    void initTestCase() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DESTDIR", m_destdir.path());
        QVERIFY(m_destdir.isValid()); // an empty DESTDIR would install into the real /usr
        QVERIFY(!runProgram("cmake", {"--install", TONEWHARF_BUILD_DIR, "--prefix", "/usr"}, {}, environment)
                     .isNull());
    }

    void desktopFilesValidate_data() {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("the menu entry") << QStringList{
            "desktop-file-validate", installed("share/applications/com.quillfen.Tonewharf.desktop")};
        QTest::newRow("the AppStream metainfo")
            << QStringList{"appstreamcli", "validate", "--no-net",
                           installed("share/metainfo/com.quillfen.Tonewharf.metainfo.xml")};
    }

    void desktopFilesValidate() {
        QFETCH(QStringList, command);
        const QByteArray report = runProgram(command.takeFirst(), command);
        // Not even a hint or a note (appstreamcli's "I:" lines), which still exit 0.
        const QRegularExpression remark("^[IWE]: |: (hint|warning|error): ",
                                        QRegularExpression::MultilineOption);
        QVERIFY2(!report.isNull() && !remark.match(report).hasMatch(), report.constData());
    }

    void commandLineIsAnsweredWithoutTheAgent() {
        const QString version = runProgram(installed("bin/tonewharf"), {"--version"});
        QVERIFY2(QRegularExpression("^Tonewharf \\d+\\.\\d+\\.\\d+\\n$").match(version).hasMatch(),
                 qPrintable(version));
        RunningProgram refused(installed("bin/tonewharf"), {"--version", "--verbose"});
        QVERIFY(refused.start() && refused.process().waitForFinished());
        QCOMPARE(refused.process().exitCode(), 2);
        QCOMPARE(refused.process().readAllStandardError(),
                 "tonewharf: unexpected argument \"--verbose\" (see tonewharf --help)\n");
    }

    void installedProgramServesFromItsOwnTree() {
        RunningProgram program(installed("bin/tonewharf"));
        FakeResolveInstallation resolve(program.path("resolve"));
        QVERIFY2(resolve.isValid() && program.start(), qPrintable(resolve.problem()));
        const std::optional<quint16> port = program.waitForListeningPort();
        QVERIFY(port);
        const QString server = QStringLiteral("http://127.0.0.1:%1/v1/").arg(*port);
        QVERIFY(
            runProgram("curl", {"-sfi", "--max-time", "5", server + "hello"}).startsWith("HTTP/1.1 200 OK"));
        // The bridge script came from the installed tree: nothing else imports the fake module.
        QTRY_VERIFY_WITH_TIMEOUT(resolve.calls().contains("import"), 10000);
        // So did the still templates: a look with CDL values becomes a still in "Looks".
        const QByteArray look =
            R"({"name":"Warm.cube","size":2,"cube":"LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n",
            "look":{"name":"Warm","space":"rec709","slope":[1.1,1,0.9],"offset":[0,0,0],"power":[1,1,1],"saturation":1.2}})";
        QVERIFY(!runProgram("curl", {"-sf", "--max-time", "10", "--data-binary", "@-", server + "luts"}, look)
                     .isNull());
        QVERIFY(QFileInfo(program.path("resolve/LUT/Tonewharf/Looks/Warm.drx")).size() > 0);
        QCOMPARE(program.stop(), std::optional<int>(0));
    }
};

QTEST_GUILESS_MAIN(TestInstalledProgram)
#include "TestInstalledProgram.moc"
