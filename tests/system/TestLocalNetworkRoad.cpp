#include "system/Roads.h"

// An iPad on the network and Resolve on this computer, without the cloud: the built program driven
// from outside, and all it shows compared with LocalNetworkRoad.transcript.
class TestLocalNetworkRoad : public QObject {
    Q_OBJECT

private slots:
    void looksInAndGradesOutOverTheLocalNetwork() {
        RunningProgram tonewharf(program);
        FakeResolveInstallation resolve(tonewharf.path("resolve"));
        resolve.setControl({{"mode", "refuse"}}); // installed, not running
        QVERIFY(resolve.isValid() && tonewharf.startSessionBus(false) && tonewharf.start());
        Transcript transcript(tonewharf, resolve);
        transcript.ask("/v1/hello");
        transcript.ask("/v1/inbox");
        transcript.step(
            "Started signed out while Resolve is not running: the script is installed, the inbox is empty");

        transcript.ask("/v1/luts", json(look("Warm", 1.1)), "Warm with CDL values");
        transcript.step("A look with CDL values becomes a cube and a still; Resolve is not asked",
                        {"LUT/Looks/Warm.drx"});

        // Resolve starts; its next status poll, within 5 s, finds it while the inbox settles.
        const qsizetype polls = resolve.calls().count("scriptapp");
        resolve.setControl({});
        QVERIFY(resolve.startRunning());
        transcript.park("/v1/inbox?since=0");
        const QString inbox = tonewharf.path("resolve/LUT/Tonewharf/To TINTARA/");
        for (const QString name :
             {"b.cube", "Day2.CUBE", "A.cube", ".Hidden.cube", "Empty.cube", "notes.txt"}) {
            QVERIFY(FileSystem::writeAtomically(inbox + name, name == "Empty.cube" ? "" : cube(name)));
        }
        transcript.step(
            "Grades exported into the inbox wake the parked listing, in the order of their names; "
            "hidden, empty and other files are left out",
            {"(parked)"});
        transcript.ask("/v1/inbox/Day2.CUBE");
        transcript.ask("/v1/inbox/../ledger.json");
        transcript.step("An inbox file is served by its name; nothing outside the inbox is");

        QVERIFY(polled(resolve, polls));
        transcript.ask("/v1/luts", json(look("Warm", 1.3)), "Warm with other CDL values");
        transcript.ask("/v1/luts", json(look("../../etc/Plain")), "Plain under a path");
        transcript.step(
            "Resolve runs: the same cube with other CDL values rewrites the still only; a new cube "
            "goes in under its last name and Resolve refreshes once",
            {"resolve refresh"});

        transcript.ask("/v1/luts", json(look("Plain")), "Plain again");
        transcript.ask("/v1/luts", json(look("..")), "a look named ..");
        transcript.ask("/v1/luts", R"({"name":"Lost"})", "a look without its cube");
        transcript.ask("/v1/luts");
        transcript.step("A look sent again and looks refused change nothing");
        QVERIFY(transcript.matches("LocalNetworkRoad"));
    }
};

QTEST_GUILESS_MAIN(TestLocalNetworkRoad)
#include "TestLocalNetworkRoad.moc"
