#include "engine/CubeSize.h"
#include "platform/FileSystem.h"
#include "support/RunProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QDir>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// "Send to TINTARA.py" under the real python3 against the fake Resolve. Its config.json is found
// through XDG_DATA_HOME and names an inbox with a space in its path.
class TestExportScript : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeResolveInstallation fake{dir.filePath(QStringLiteral("resolve"))};
    const QString inbox = dir.filePath(QStringLiteral("LUT/To TINTARA"));
    const QString config = dir.filePath(QStringLiteral("data/Tonewharf/config.json"));

    // What the script printed to Resolve's console.
    QString run(const QJsonObject& control) {
        fake.setControl(control);
        const ResolveProfile profile = fake.profile(dir.path());
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("PYTHONPATH"), profile.pythonPath);
        environment.insert(QStringLiteral("RESOLVE_SCRIPT_LIB"), profile.scriptLib);
        return QString::fromUtf8(runProgram(QStringLiteral(TONEWHARF_PYTHON3),
                                            {QStringLiteral(TONEWHARF_RESOURCE_DIR "/Send to TINTARA.py")},
                                            {}, environment));
    }
    QStringList files() const { return QDir(inbox).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QByteArray read(const QString& name) const {
        return FileSystem::readAll(QDir(inbox).filePath(name)).value_or(QByteArray());
    }

private slots:
    void init() {
        QVERIFY(QDir(inbox).removeRecursively() && QDir().mkpath(inbox) &&
                QDir().mkpath(dir.filePath("data/Tonewharf")));
        const QJsonObject paths{{"inbox", inbox}, {"lutFolder", QFileInfo(inbox).path()}};
        QVERIFY(FileSystem::writeAtomically(config, QJsonDocument(paths).toJson()));
    }

    void sendsUnderASafeNameAndNeverOverAnotherGrade_data() {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("expected"); // empty: any safe name
        QTest::newRow("a plain clip name") << "A001_C002.mov"
                                           << "A001_C002.mov.cube";
        QTest::newRow("a name ending in .cube is not doubled") << "Warm.CUBE"
                                                               << "Warm.cube";
        QTest::newRow("parent folders and separators") << "../../etc/Warm\\Day"
                                                       << "";
        QTest::newRow("a leading dot, which hides a file from the scan") << ".. hidden"
                                                                         << "";
        QTest::newRow("characters file systems refuse") << "Warm: \"day\" <1>|*?\n\t"
                                                        << "";
        QTest::newRow("an empty name") << ""
                                       << "";
        QTest::newRow("a name longer than a file name may be") << QString(300, u'é') << "";
    }

    void sendsUnderASafeNameAndNeverOverAnotherGrade() {
        QFETCH(QString, clip);
        QFETCH(QString, expected);
        const QString console = run({{"clip", clip}, {"grade", "1 1 1"}});
        run({{"clip", clip}, {"grade", "1 1 1"}}); // the same grade again takes the same name
        run({{"clip", clip}, {"grade", "2 2 2"}});
        const QStringList names = files();
        QCOMPARE(names.size(), 2);
        const QString name = names.last();
        QCOMPARE(names.first(), name.chopped(5) + QStringLiteral(" 2.cube"));
        QVERIFY2((expected.isEmpty() || name == expected) && !name.startsWith(u'.') &&
                     name.endsWith(QLatin1String(".cube")) && name.toUtf8().size() <= 255 &&
                     !name.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\\\/:*?\"<>|]"))),
                 qPrintable(name));
        QVERIFY(read(name).endsWith("\n1 1 1\n") && read(names.first()).endsWith("\n2 2 2\n"));
        QCOMPARE(cubeSize(read(name)), std::optional<qint64>(33));
        QVERIFY2(console.contains(QDir(inbox).filePath(name)), qPrintable(console));
        // Resolve wrote into a hidden file in the inbox, which then took the name.
        const QFileInfo written(fake.calls().filter(QStringLiteral("export ")).last().section(u' ', 2));
        QVERIFY(written.path() == inbox && written.fileName().startsWith(u'.'));
    }

    void saysWhyNothingWasSent_data() {
        QTest::addColumn<QJsonObject>("control");
        QTest::addColumn<QByteArray>("configuration"); // empty: keep it; "-": none at all
        QTest::addColumn<QString>("message");
        QTest::newRow("no config.json") << QJsonObject() << QByteArray("-") << "no config.json at ";
        QTest::newRow("a config.json without an inbox")
            << QJsonObject() << QByteArray(R"({"lutFolder": "/x"})") << "does not name an inbox folder";
        QTest::newRow("no project") << QJsonObject{{"project", QJsonValue::Null}} << QByteArray()
                                    << "no project is open";
        QTest::newRow("no timeline") << QJsonObject{{"timeline", QJsonValue::Null}} << QByteArray()
                                     << "the project has no current timeline";
        QTest::newRow("no current clip")
            << QJsonObject{{"clip", QJsonValue::Null}} << QByteArray() << "there is no current clip";
        QTest::newRow("Resolve refuses the export")
            << QJsonObject{{"export_result", false}} << QByteArray() << "could not export the grade of";
        QTest::newRow("Resolve does not answer")
            << QJsonObject{{"mode", "refuse"}} << QByteArray() << "DaVinci Resolve does not answer";
    }

    void saysWhyNothingWasSent() {
        QFETCH(QJsonObject, control);
        QFETCH(QByteArray, configuration);
        QFETCH(QString, message);
        if (!configuration.isEmpty()) {
            QVERIFY(configuration == "-" ? QFile::remove(config)
                                         : bool(FileSystem::writeAtomically(config, configuration)));
        }
        const QString console = run(control);
        QVERIFY2(console.startsWith(QLatin1String("Send to TINTARA: ")) && console.contains(message),
                 qPrintable(console));
        QCOMPARE(files(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestExportScript)
#include "TestExportScript.moc"
