#include "system/Roads.h"

#include <QDir>

#include <csignal>

// Looks marked on an iPad come down through the cloud and its realtime stream; grades exported from
// Resolve go up. The built program driven from outside, all it shows compared with CloudRoad.transcript.
class TestCloudRoad : public QObject {
    Q_OBJECT

private slots:
    void looksDownAndGradesUpThroughTheCloud() {
        SignedInCloud cloud;
        QVERIFY(cloud.start());
        RunningProgram tonewharf(program, {}, cloud.environment());
        FakeResolveInstallation resolve(tonewharf.path("resolve"));
        QVERIFY(resolve.isValid() && resolve.startRunning() && tonewharf.startSessionBus(true));
        cloud.signIn(tonewharf);
        const QString warm = cloud.record("Warm", true);
        const QString cool = cloud.record("Cool");
        cloud.record("Idle", false, false);
        Transcript transcript(tonewharf, resolve, &cloud.service);
        transcript.name(cloud.user, "<ana>");
        QVERIFY(cloud.start(tonewharf, resolve));
        transcript.ask("/v1/hello");
        transcript.step(
            "Started signed in: the session is refreshed, the stream subscribed, the marked looks "
            "come down and Resolve refreshes once",
            {"resolve refresh", "cloud POST /api/realtime"});

        cloud.record("Fresh", true);
        transcript.step("A look marked on the iPad comes down through the stream", {"resolve refresh"});

        const QString lut = tonewharf.path("resolve/LUT/Tonewharf/");
        QVERIFY(QFile::remove(lut + "Cool.cube"));
        cloud.record("Idle 2", false, false);
        cloud.service.control("PATCH", "/_test/records/tintara_luts/" + warm, QJsonObject{{"size", 3}});
        cloud.service.control("PATCH", "/_test/records/tintara_luts/" + cool, QJsonObject{{"size", 3}});
        transcript.step(
            "Through the stream, a look not marked and one already delivered change nothing; Cool, "
            "deleted from the LUT folder, is reported back when its record changes",
            {"cloud PATCH"});

        cloud.service.control("DELETE", "/_test/records/tintara_luts/" + warm);
        transcript.step("A look deleted in the cloud is forgotten; its files stay",
                        {"ledger - pulled <Warm>"});

        const QString inbox = lut + "To TINTARA/";
        transcript.park("/v1/inbox?since=0");
        for (const QString name : {"Day2.cube", ".Day2.cube", "Day2.txt"}) {
            QVERIFY(FileSystem::writeAtomically(inbox + name, cube("Day2")));
        }
        transcript.step(
            "A grade exported into the inbox wakes the parked listing and goes up; hidden and other "
            "files stay",
            {"(parked)", "pushed Day2.cube"});

        QVERIFY(FileSystem::writeAtomically(inbox + "Day2.cube", cube("Day2")));
        QVERIFY(FileSystem::writeAtomically(inbox + "Day3.cube", cube("Day3")));
        transcript.step("The same grade exported again sends nothing; a new one goes up",
                        {"pushed Day3.cube"});

        QVERIFY(FileSystem::writeAtomically(inbox + "Day2.cube", cube("Day2", 1)));
        QVERIFY(QFile::remove(inbox + "Day3.cube"));
        transcript.step(
            "Day2 with other bytes replaces its record; Day3, removed from the inbox, is forgotten",
            {"cloud PATCH"});

        QCOMPARE(tonewharf.stop(), std::optional<int>(0));
        QVERIFY(tonewharf.start());
        transcript.step("Restarted: the session and the ledger hold, nothing goes down or up again",
                        {"cloud GET /api/collections/tintara_luts/records", "cloud POST /api/realtime"});
        QVERIFY(transcript.matches("CloudRoad"));
    }

    void killedDuringABurstLeavesOnlyWholeFiles() {
        SignedInCloud cloud;
        QVERIFY(cloud.start());
        RunningProgram tonewharf(program, {}, cloud.environment());
        QVERIFY(tonewharf.startSessionBus(true));
        cloud.signIn(tonewharf);
        QMap<QString, QString> names; // record id -> look name
        for (int i = 0; i < 40; ++i) {
            const QString name = QStringLiteral("Look %1").arg(i);
            names.insert(cloud.record(name, false, true, cube(name).repeated(500)), name);
        }
        QVERIFY(tonewharf.start());
        const QString lut = tonewharf.path("resolve/LUT/Tonewharf/");
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(lut + "Look 0.cube"); }, 15000));
        ::kill(pid_t(tonewharf.process().processId()), SIGKILL);
        QVERIFY(tonewharf.process().waitForFinished(5000));

        for (const QString& entry :
             QDir(lut).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (entry != "To TINTARA" && entry != "Looks") {
                QVERIFY2(entry.endsWith(".cube"), qPrintable(entry));
                QCOMPARE(FileSystem::readAll(lut + entry), cube(entry.chopped(5)).repeated(500));
            }
        }
        const QByteArray ledger =
            FileSystem::readAll(tonewharf.path("home/.local/share/Tonewharf/ledger.json")).value_or("{}");
        const QJsonObject pulled = QJsonDocument::fromJson(ledger).object()["pulled"].toObject();
        for (const QString& id : pulled.keys()) {
            const QString fileName = pulled[id].toObject()["fileName"].toString();
            QCOMPARE(fileName, names.value(id) + ".cube");
            QVERIFY(QFile::exists(lut + fileName));
        }
    }
};

QTEST_GUILESS_MAIN(TestCloudRoad)
#include "TestCloudRoad.moc"
