#include "engine/CubeSize.h"
#include "platform/FileSystem.h"
#include "support/RunProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QDir>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// "Send to TINTARA.py" under the real python3 against the fake Resolve. Its config.json is found
// through XDG_DATA_HOME and names an inbox with a space in its path.
class TestExportScript : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeResolveInstallation fake{dir.filePath(u"resolve"_s)};
    const QString inbox = dir.filePath(u"LUT/To TINTARA"_s),
                  config = dir.filePath(u"data/Tonewharf/config.json"_s);

    // What the script printed to Resolve's console.
    QString run(const QJsonObject& control) {
        fake.setControl(control);
        const ResolveProfile profile = fake.profile(dir.path());
        QProcessEnvironment environment;
        environment.insert(u"XDG_DATA_HOME"_s, dir.filePath(u"data"_s));
        environment.insert(u"PYTHONPATH"_s, profile.pythonPath);
        environment.insert(u"RESOLVE_SCRIPT_LIB"_s, profile.scriptLib);
        return QString::fromUtf8(runProgram(QStringLiteral(TONEWHARF_PYTHON3),
                                            {QStringLiteral(TONEWHARF_RESOURCE_DIR "/Send to TINTARA.py")},
                                            {}, environment));
    }
    QStringList files() const { return QDir(inbox).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QByteArray read(const QString& name) const { return *FileSystem::readAll(QDir(inbox).filePath(name)); }

private slots:
    void init() {
        QVERIFY(QDir(inbox).removeRecursively() && QDir().mkpath(inbox) &&
                QDir().mkpath(dir.filePath(u"data/Tonewharf"_s)));
        QVERIFY(FileSystem::writeAtomically(config, QJsonDocument(QJsonObject{{"inbox", inbox}}).toJson()));
    }

    void sendsUnderASafeNameAndNeverOverAnotherGrade_data() {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("expected"); // empty: any safe name
        QTest::newRow("a plain clip name") << u"A001_C002.mov"_s << u"A001_C002.mov.cube"_s;
        QTest::newRow("a name ending in .cube is not doubled") << u"Warm.CUBE"_s << u"Warm.cube"_s;
        QTest::newRow("parent folders, separators and a leading dot") << u"../.Warm\\Day"_s << QString();
        QTest::newRow("characters file systems refuse") << u"Warm: \"day\" <1>|*?\n\t"_s << QString();
        QTest::newRow("a name longer than a file name may be") << QString(300, u'é') << QString();
    }

    void sendsUnderASafeNameAndNeverOverAnotherGrade() {
        QFETCH(QString, clip);
        QFETCH(QString, expected);
        const QString console = run({{"clip", clip}, {"grade", "1 1 1"}});
        run({{"clip", clip}, {"grade", "1 1 1"}}); // the same grade again keeps its name
        run({{"clip", clip}, {"grade", "2 2 2"}});
        const QStringList names = files();
        QCOMPARE(names.size(), 2);
        const QString& name = names.last();
        QCOMPARE(names.first(), name.chopped(5) + u" 2.cube"_s);
        QVERIFY2((expected.isEmpty() || name == expected) && !name.startsWith(u'.') &&
                     name.endsWith(u".cube"_s) && name.toUtf8().size() <= 255 &&
                     !name.contains(QRegularExpression(u"[\\x00-\\x1f\\\\/:*?\"<>|]"_s)),
                 qPrintable(name));
        QVERIFY(read(name).endsWith("\n1 1 1\n") && read(names.first()).endsWith("\n2 2 2\n"));
        QCOMPARE(cubeSize(read(name)), std::optional<qint64>(33));
        QVERIFY2(console.contains(QDir(inbox).filePath(name)), qPrintable(console));
        // Resolve wrote into a hidden file in the inbox, which then took the name.
        const QFileInfo written(fake.calls().filter(u"export "_s).last().section(u' ', 2));
        QVERIFY(written.path() == inbox && written.fileName().startsWith(u'.'));
    }

    void saysWhyNothingWasSent_data() {
        QTest::addColumn<QString>("absent"); // what the fake Resolve, or the support folder, lacks
        QTest::addColumn<QString>("message");
        QTest::newRow("no config.json") << u"config"_s << u"no config.json at "_s;
        QTest::newRow("no project") << u"project"_s << u"no project is open"_s;
        QTest::newRow("no current clip") << u"clip"_s << u"there is no current clip"_s;
        QTest::newRow("Resolve refuses the export")
            << u"export_result"_s << u"could not export the grade of"_s;
    }

    void saysWhyNothingWasSent() {
        QFETCH(QString, absent);
        QFETCH(QString, message);
        QVERIFY(absent != u"config" || QFile::remove(config));
        const QString console =
            run({{absent, absent == u"export_result" ? QJsonValue(false) : QJsonValue()}});
        QVERIFY2(console.startsWith(u"Send to TINTARA: "_s) && console.contains(message),
                 qPrintable(console));
        QCOMPARE(files(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestExportScript)
#include "TestExportScript.moc"
