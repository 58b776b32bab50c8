#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "resolve/ResolveLink.h"
#include "support/EngineFixture.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QTest>

namespace {

LUTLook warmLook() {
    return LUTLook{"Warm", "rec709", {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.2}, 1.05, {}, {}, {}};
}

// The still stores its LUT reference uncompressed as a text parameter (field 5: tag 0x2A, a
// one-byte length, the UTF-8 bytes); its hexadecimal form with the length prefix names it exactly.
bool stillRefersTo(const QByteArray& still, const QString& lutPath) {
    const QByteArray utf8 = lutPath.toUtf8();
    if (utf8.size() >= 128) {
        return false;
    }
    return still.contains((QByteArray("\x2a") + char(utf8.size()) + utf8).toHex());
}

} // namespace

class TestResolveDelivery : public QObject {
    Q_OBJECT

private slots:
    void deliveredLookReachesResolve();
    void stillRefersToItsCube_data();
    void stillRefersToItsCube();
    void stillFailureKeepsTheCube();
    void refreshWithoutResolveLogsNothing();
};

void TestResolveDelivery::deliveredLookReachesResolve() {
    EngineFixture fixture;
    FakeResolveInstallation fake(fixture.resolveRoot());
    QVERIFY2(fake.isValid(), qPrintable(fake.problem()));
    fake.setControl({{"product", "DaVinci Resolve Studio"}, {"version", "19.1.3"}, {"project", "Reel 4"}});
    EngineServices services = fixture.services();
    services.resolveProfile = fake.profile(fixture.path("home"));

    SyncEngine engine(services);
    engine.start();
    QTRY_COMPARE_WITH_TIMEOUT(engine.resolve()->health(),
                              ResolveLink::Health::connected("DaVinci Resolve Studio", "19.1.3"), 10000);
    QCOMPARE(engine.resolve()->project(), QStringLiteral("Reel 4"));

    const QString cube = LookFileNames::cubeFileName("Warm", Qt::CaseSensitive);
    QCOMPARE(engine.writeCube("LUT_3D_SIZE 2\n", cube, cube + " → Resolve"), SyncEngine::CubeWrite::written);
    QVERIFY(engine.writeStill(warmLook(), cube, engine.stillPath(cube)));
    QCoro::waitFor(engine.refreshResolve());

    QCOMPARE(fake.refreshCount(), 1);
    QStringList lines;
    for (const Activity& entry : engine.activity()) {
        if (entry.text.startsWith("Local network")) {
            continue;
        }
        lines.prepend(entry.text);
        QVERIFY(entry.ok);
    }
    QCOMPARE(lines, (QStringList{"Warm.cube → Resolve", "Warm.drx → Resolve (gallery import)",
                                 "Resolve LUT list refreshed"}));
    QVERIFY(QFile::exists(fixture.resolveRoot() + "/LUT/Tonewharf/Warm.cube"));
    QVERIFY(QFile::exists(fixture.resolveRoot() + "/LUT/Tonewharf/Looks/Warm.drx"));
}

void TestResolveDelivery::stillRefersToItsCube_data() {
    QTest::addColumn<QString>("lutFolder");
    QTest::addColumn<QString>("reference");

    QTest::newRow("a cube in the default folder is named relative to the master LUT folder")
        << QString() << "Tonewharf/Warm.cube";
    QTest::newRow("a cube in a folder of the user's is named by its full path") << "LUTs"
                                                                                << "<folder>/Warm.cube";
}

void TestResolveDelivery::stillRefersToItsCube() {
    QFETCH(QString, lutFolder);
    QFETCH(QString, reference);

    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    if (!lutFolder.isEmpty()) {
        engine.setLutFolderPath(fixture.path(lutFolder));
    }
    reference.replace("<folder>", engine.lutFolderPath());

    QVERIFY(engine.writeStill(warmLook(), "Warm.cube", engine.stillPath("Warm.cube")));
    const auto still = FileSystem::readAll(engine.stillsFolderPath() + "/Warm.drx");
    QVERIFY(still);
    QVERIFY2(stillRefersTo(*still, reference), qPrintable(reference));
    QVERIFY(still->contains("Warm"));
}

void TestResolveDelivery::stillFailureKeepsTheCube() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(fixture.path("LUT"));
    QCOMPARE(engine.writeCube("x", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::written);
    // "Looks" is a regular file, so the stills folder cannot be made.
    QVERIFY(FileSystem::writeAtomically(fixture.path("LUT/Looks"), "in the way"));

    QVERIFY(!engine.writeStill(warmLook(), "Warm.cube", engine.stillPath("Warm.cube")));
    QVERIFY(engine.activity().first().text.startsWith("Could not write the Resolve still for Warm: "));
    QCOMPARE(engine.activity().first().ok, false);
    QVERIFY(QFile::exists(fixture.path("LUT/Warm.cube")));
    QCOMPARE(engine.folderProblem(), std::nullopt);

    LUTLook twoChannels = warmLook();
    twoChannels.slope.removeLast();
    QVERIFY(!engine.writeStill(twoChannels, "Warm.cube", fixture.path("elsewhere.drx")));
    QCOMPARE(engine.activity().first().text,
             QStringLiteral("Could not write the Resolve still for Warm: templateMalformed"));
    QVERIFY(!QFile::exists(fixture.path("elsewhere.drx")));
}

void TestResolveDelivery::refreshWithoutResolveLogsNothing() {
    EngineFixture fixture; // no Resolve installed at all
    SyncEngine engine(fixture.services());
    engine.start();
    QCOMPARE(engine.resolve()->health(), ResolveLink::Health::resolveNotInstalled());
    QCoro::waitFor(engine.refreshResolve());
    QVERIFY(engine.activity().isEmpty());
}

QTEST_GUILESS_MAIN(TestResolveDelivery)
#include "TestResolveDelivery.moc"
