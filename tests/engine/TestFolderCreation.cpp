#include "engine/SyncEngine.h"

#include <QDirIterator>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

// A plain shell plays the administrator (the tests run as root) and `nobody` the user, so the
// file system shows which folders the command gave away.
class TestFolderCreation : public QObject {
    Q_OBJECT

private slots:
    void onlyTheFoldersMadeAreGiven_data() {
        QTest::addColumn<QString>("existing"); // made beforehand, root's
        QTest::addColumn<QString>("lut");
        QTest::addColumn<QStringList>("given");
        QTest::newRow("a missing LUT folder and its inbox are given, the new folders above them are not")
            << "opt"
            << "opt/resolve/LUT/" << QStringList{"opt/resolve/LUT", "opt/resolve/LUT/To TINTARA"};
        QTest::newRow(
            "an existing LUT folder and what it holds keep their owner; only the new inbox is given")
            << "LUT/Looks"
            << "LUT" << QStringList{"LUT/To TINTARA"};
        const QString odd = u"it's \"graded\" $(touch ran) `touch ran` back\\slash\nLUT"_s;
        QTest::newRow("quotes, expansions and a line break reach mkdir and chown literally")
            << "." << odd << QStringList{odd, odd + "/To TINTARA"};
    }

    void onlyTheFoldersMadeAreGiven() {
        QFETCH(QString, existing);
        QFETCH(QString, lut);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(existing));
        const QString folder = root.filePath(lut);
        const QString command = SyncEngine::folderCreationCommand(folder + "/To TINTARA", "nobody", folder);
        QVERIFY(QCoro::waitFor(ProcessPrivilegedRunner("/bin/sh", {"-c"}).run(command)).ok);
        QStringList given;
        for (QDirIterator it(root.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             it.hasNext();) {
            if (it.nextFileInfo().ownerId() != 0) {
                given << QDir(root.path()).relativeFilePath(it.filePath());
            }
        }
        given.sort();
        QTEST(given, "given"); // an expansion or a quote taken by the shell would change a name
    }

    // Nothing to wait for when nothing can ask for the password.
    void withoutPkexecTheRunnerSaysSoAtOnce() {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        const PrivilegedRunner::Outcome outcome =
            QCoro::waitFor(ProcessPrivilegedRunner::pkexec().run("true"));
        qputenv("PATH", path);
        QCOMPARE(outcome.missingProgram, u"pkexec"_s);
    }
};

QTEST_GUILESS_MAIN(TestFolderCreation)
#include "TestFolderCreation.moc"
