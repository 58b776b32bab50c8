#include "engine/CubeSize.h"
#include "support/RunProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// "Send to TINTARA.py" run by the real python3 against the fake Resolve, with a support folder
// (found through XDG_DATA_HOME) whose config.json names an inbox with a space in its path.
struct Rig {
    QTemporaryDir dir;
    FakeResolveInstallation fake{dir.filePath(QStringLiteral("resolve"))};
    QString inbox = dir.filePath(QStringLiteral("LUT folder/To TINTARA"));
    QString config = dir.filePath(QStringLiteral("data/Tonewharf/config.json"));

    Rig() {
        QDir().mkpath(inbox);
        QDir().mkpath(QFileInfo(config).path());
        writeConfig(
            QJsonDocument(QJsonObject{{"inbox", inbox}, {"lutFolder", QFileInfo(inbox).path()}}).toJson());
    }
    void writeConfig(const QByteArray& bytes) const {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    // What the script printed to Resolve's console.
    QString run(const QJsonObject& control) {
        fake.setControl(control);
        const ResolveProfile profile = fake.profile(dir.filePath(QStringLiteral("home")));
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("PYTHONPATH"), profile.pythonPath);
        environment.insert(QStringLiteral("RESOLVE_SCRIPT_LIB"), profile.scriptLib);
        return QString::fromUtf8(runProgram(QStringLiteral(TONEWHARF_PYTHON3),
                                            {QStringLiteral(TONEWHARF_RESOURCE_DIR "/Send to TINTARA.py")},
                                            {}, environment));
    }
    QStringList inboxEntries(QDir::Filters hidden = {}) const {
        return QDir(inbox).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | hidden, QDir::Name);
    }
    QByteArray read(const QString& name) const {
        QFile file(QDir(inbox).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

QJsonObject clip(const QString& name, const QString& grade = QStringLiteral("0 0 0")) {
    return {{"clip", name}, {"grade", grade}};
}

} // namespace

class TestExportScript : public QObject {
    Q_OBJECT

private slots:
    void exportsTheClipsGradeUnderASafeName_data() {
        QTest::addColumn<QString>("clipName");
        QTest::addColumn<QString>("fileName"); // empty: any name that is safe
        QTest::newRow("a plain clip name is the file name") << "A001_C002.mov"
                                                            << "A001_C002.mov.cube";
        QTest::newRow("a name ending in .cube is not doubled") << "Warm.CUBE"
                                                               << "Warm.cube";
        QTest::newRow("parent folders and separators stay inside the inbox") << "../../../etc/Warm\\Day"
                                                                             << "";
        QTest::newRow("a leading dot would hide it from the inbox scan") << ".. hidden"
                                                                         << "";
        QTest::newRow("characters other file systems refuse") << "Warm: \"day\" <1> | * ?"
                                                              << "";
        QTest::newRow("line breaks and tabs") << "Warm\nDay\t1\r"
                                              << "";
        QTest::newRow("an empty name") << ""
                                       << "";
        QTest::newRow("a name longer than a file name may be") << QString(300, u'é') << "";
    }

    void exportsTheClipsGradeUnderASafeName() {
        QFETCH(QString, clipName);
        QFETCH(QString, fileName);
        Rig rig;
        const QString console = rig.run(clip(clipName));
        const QStringList entries = rig.inboxEntries(QDir::Hidden);
        QCOMPARE(entries.size(), 1);
        const QString name = entries.first();
        QVERIFY2(fileName.isEmpty() || name == fileName, qPrintable(name));
        QVERIFY2(name.endsWith(QLatin1String(".cube")) && !name.startsWith(u'.') &&
                     name.toUtf8().size() <= 255 &&
                     !name.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\\\:*?\"<>|]"))),
                 qPrintable(name));
        QCOMPARE(cubeSize(rig.read(name)), std::optional<qint64>(33));
        QVERIFY2(console.contains(QDir(rig.inbox).filePath(name)), qPrintable(console));
        // Resolve wrote a hidden file in the inbox itself, which then took the name.
        const QString exported = rig.fake.calls().filter(QStringLiteral("export ")).value(0);
        QCOMPARE(QFileInfo(exported.section(u' ', 2)).path(), rig.inbox);
        QVERIFY(QFileInfo(exported.section(u' ', 2)).fileName().startsWith(u'.'));
    }

    void neverOverwritesADifferentGrade() {
        Rig rig;
        for (const char* grade : {"0 0 0", "0 0 0", "1 1 1", "2 2 2", "1 1 1"}) {
            rig.run(clip(QStringLiteral("Warm"), QLatin1String(grade)));
        }
        QCOMPARE(rig.inboxEntries(QDir::Hidden), QStringList({"Warm 2.cube", "Warm 3.cube", "Warm.cube"}));
        QVERIFY(rig.read(QStringLiteral("Warm.cube")).endsWith("\n0 0 0\n"));
        QVERIFY(rig.read(QStringLiteral("Warm 2.cube")).endsWith("\n1 1 1\n"));
        QVERIFY(rig.read(QStringLiteral("Warm 3.cube")).endsWith("\n2 2 2\n"));
    }

    void saysWhyNothingWasSent_data() {
        QTest::addColumn<QJsonObject>("control");
        QTest::addColumn<QByteArray>("config"); // empty: no config.json at all
        QTest::addColumn<QString>("message");
        const QByteArray config = "keep";
        QTest::newRow("no config.json") << clip("A") << QByteArray() << "no config.json at ";
        QTest::newRow("a config.json without an inbox")
            << clip("A") << QByteArray(R"({"lutFolder": "/x"})") << "does not name an inbox folder";
        QTest::newRow("no project") << QJsonObject{{"project", QJsonValue::Null}} << config
                                    << "no project is open";
        QTest::newRow("no timeline") << QJsonObject{{"timeline", QJsonValue::Null}} << config
                                     << "the project has no current timeline";
        QTest::newRow("no current clip")
            << QJsonObject{{"clip", QJsonValue::Null}} << config << "there is no current clip";
        QTest::newRow("Resolve refuses the export")
            << QJsonObject{{"export_result", false}} << config << "could not export the grade of";
        QTest::newRow("Resolve does not answer")
            << QJsonObject{{"mode", "refuse"}} << config << "DaVinci Resolve does not answer";
    }

    void saysWhyNothingWasSent() {
        QFETCH(QJsonObject, control);
        QFETCH(QByteArray, config);
        QFETCH(QString, message);
        Rig rig;
        if (config.isEmpty()) {
            QVERIFY(QFile::remove(rig.config));
        } else if (config != "keep") {
            rig.writeConfig(config);
        }
        const QString console = rig.run(control);
        QVERIFY2(console.startsWith(QLatin1String("Send to TINTARA: ")) && console.contains(message) &&
                     console.count(u'\n') == 1,
                 qPrintable(console));
        QCOMPARE(rig.inboxEntries(QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestExportScript)
#include "TestExportScript.moc"
