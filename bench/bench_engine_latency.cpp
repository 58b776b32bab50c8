#include "BenchSupport.h"

#include "engine/FolderWatcher.h"
#include "engine/SyncEngine.h"
#include "local/IncomingBody.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <QCoroTask>

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

using BenchSupport::Clock;
using namespace std::chrono_literals;

namespace {

// A started engine, signed out, with its local server on a loopback port and the inbox watcher
// at its real settle time.
class StartedEngine {
public:
    static StartedEngine& shared() {
        static StartedEngine started;
        return started;
    }

    SyncEngine& engine() { return *m_engine; }
    quint16 port() const { return m_engine->localPort().value_or(0); }
    QString path(const QString& relative) const { return m_fixture.path(relative); }

private:
    StartedEngine() {
        EngineServices services = m_fixture.services();
        services.inboxSettle = FolderWatcher::defaultSettle;
        m_engine = std::make_unique<SyncEngine>(services);
        m_engine->setLutFolderPath(m_fixture.path(QStringLiteral("LUT")));
        m_engine->start();
        // Not listening after this is reported by the benchmarks themselves (port 0).
        [[maybe_unused]] const bool ready = QTest::qWaitFor(
            [this] { return m_engine->localPort().has_value() && m_engine->watcher(); }, 10000);
    }

    EngineFixture m_fixture;
    std::unique_ptr<SyncEngine> m_engine;
};

QJsonObject answerBody(const QByteArray& response) {
    return QJsonDocument::fromJson(response.mid(response.indexOf("\r\n\r\n") + 4)).object();
}

// From the rename that puts a finished cube into the inbox to the complete answer of a GET
// /v1/inbox parked before it: the watcher's settle time, the scan and the wake.
void inboxLandingToParkedAnswer(benchmark::State& state) {
    StartedEngine& started = StartedEngine::shared();
    SyncEngine& engine = started.engine();
    if (started.port() == 0) {
        state.SkipWithError("the local server does not listen");
        return;
    }
    const QString staging = started.path(QStringLiteral("staging.cube"));
    const QString landing = QDir(engine.inboxFolderPath()).filePath(QStringLiteral("Landing.cube"));
    double best = 1e9, worst = 0;
    int round = 0;
    for (auto _ : state) {
        BenchSupport::writePlain(staging,
                                 BenchSupport::cubeText(33, round, "Landing " + QByteArray::number(round)));
        ++round;
        const qint64 seq = engine.inboxSnapshot().seq;
        const QByteArray request =
            "GET /v1/inbox?since=" + QByteArray::number(seq) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        Clock::time_point landed, answered;
        QByteArray response;
        BenchSupport::runBeside([&] {
            response = BenchSupport::exchange(started.port(), request, [&] {
                std::this_thread::sleep_for(300ms); // long enough for the request to be parked
                landed = Clock::now();
                ::rename(QFile::encodeName(staging).constData(), QFile::encodeName(landing).constData());
            });
            answered = Clock::now();
        });
        const QJsonObject listing = answerBody(response);
        if (listing.value(QStringLiteral("seq")).toInteger() != seq + 1 ||
            listing.value(QStringLiteral("items")).toArray().size() != 1) {
            state.SkipWithError("the parked request was not answered with the new listing");
            return;
        }
        const double ms = BenchSupport::milliseconds(answered - landed);
        best = std::min(best, ms);
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000);
    }
    state.counters["best_ms"] = best;
    state.counters["worst_ms"] = worst;
    state.counters["settle_ms"] = double(FolderWatcher::defaultSettle.count());
}
BENCHMARK(inboxLandingToParkedAnswer)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// Waits until a file of each name has been moved or written into its watched folder.
bool waitForFiles(int inotify, std::set<std::pair<int, QByteArray>> pending) {
    alignas(inotify_event) char buffer[8192];
    const Clock::time_point deadline = Clock::now() + 10s;
    while (!pending.empty() && Clock::now() < deadline) {
        pollfd ready{inotify, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        const ssize_t length = ::read(inotify, buffer, sizeof buffer);
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0) {
                pending.erase({event->wd, QByteArray(event->name)});
            }
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return pending.empty();
}

// The look of the posted-look benchmarks: a 65-point cube (7.4 MB of text) with CDL values.
const QByteArray& eveningCube() {
    static const QByteArray cube = BenchSupport::cubeText(65, 2, "Evening");
    return cube;
}

LUTLook eveningLook(const QString& name) {
    LUTLook look;
    look.name = name;
    look.space = QStringLiteral("rec709");
    look.slope = {1.12, 1.1, 1.08};
    look.offset = {-0.03, -0.03, -0.03};
    look.power = {1.1, 1.1, 1.1};
    look.saturation = 1.25;
    return look;
}

// The JSON body of POST /v1/luts for the look of that name. Made once: each call only puts the
// name in, so that every round delivers a cube that is new to the LUT folder.
QByteArray eveningBody(const QString& name) {
    static const QString placeholder = QStringLiteral("Evening #");
    static const QByteArray body = QJsonDocument(QJsonObject{{"name", placeholder},
                                                             {"cube", QString::fromLatin1(eveningCube())},
                                                             {"look", eveningLook(placeholder).toJson()}})
                                       .toJson(QJsonDocument::Compact);
    return QByteArray(body).replace(placeholder.toUtf8(), name.toUtf8());
}

// A POST /v1/luts of a 65-point cube with CDL values, from the first byte sent until both the
// .cube in the LUT folder and the .drx in its Looks subfolder are in place.
void postLookWithStill(benchmark::State& state) {
    StartedEngine& started = StartedEngine::shared();
    SyncEngine& engine = started.engine();
    const QString lutFolder = engine.lutFolderPath();
    const QString stillsFolder = engine.stillsFolderPath();
    const QByteArray& cube = eveningCube();
    const int inotify = ::inotify_init1(IN_CLOEXEC);
    const int lutWatch =
        QDir().mkpath(stillsFolder)
            ? ::inotify_add_watch(inotify, QFile::encodeName(lutFolder), IN_MOVED_TO | IN_CREATE)
            : -1;
    const int stillsWatch =
        ::inotify_add_watch(inotify, QFile::encodeName(stillsFolder), IN_MOVED_TO | IN_CREATE);
    if (started.port() == 0 || lutWatch < 0 || stillsWatch < 0) {
        state.SkipWithError("no local server or no folder watch");
        ::close(inotify);
        return;
    }
    // The local server's queue, by its label as the kernel keeps it (15 characters).
    const int serverThread = BenchSupport::threadNamed("com.quillfen.to");
    const int mainThread = int(::getpid());
    double answeredTotal = 0, serverCpu = 0, mainCpu = 0;
    std::vector<double> inPlaceTimes;
    int round = 0;
    for (auto _ : state) {
        const QString name = QStringLiteral("Evening %1").arg(++round);
        const QByteArray body = eveningBody(name);
        const QByteArray request = "POST /v1/luts HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                   "application/json\r\nContent-Length: " +
                                   QByteArray::number(body.size()) + "\r\n\r\n" + body;
        Clock::time_point sent, inPlace, answered;
        bool placed = false;
        QByteArray response;
        const double serverBefore = BenchSupport::threadMilliseconds(serverThread);
        const double mainBefore = BenchSupport::threadMilliseconds(mainThread);
        BenchSupport::runBeside([&] {
            sent = Clock::now();
            response = BenchSupport::exchange(started.port(), request, [&] {
                placed = waitForFiles(
                    inotify, {{lutWatch, name.toUtf8() + ".cube"}, {stillsWatch, name.toUtf8() + ".drx"}});
                inPlace = Clock::now();
            });
            answered = Clock::now();
        });
        const QString cubeFile = QDir(lutFolder).filePath(name + QStringLiteral(".cube"));
        const QString stillFile = QDir(stillsFolder).filePath(name + QStringLiteral(".drx"));
        if (!placed || !answerBody(response).value(QStringLiteral("ok")).toBool() ||
            FileSystem::readAll(cubeFile) != cube || QFileInfo(stillFile).size() == 0) {
            state.SkipWithError("the look was not delivered whole");
            break;
        }
        state.SetIterationTime(BenchSupport::milliseconds(inPlace - sent) / 1000);
        inPlaceTimes.push_back(BenchSupport::milliseconds(inPlace - sent));
        answeredTotal += BenchSupport::milliseconds(answered - sent);
        serverCpu += BenchSupport::threadMilliseconds(serverThread) - serverBefore;
        mainCpu += BenchSupport::threadMilliseconds(mainThread) - mainBefore;
        QFile::remove(cubeFile);
        QFile::remove(stillFile);
    }
    ::close(inotify);
    state.counters["answered_ms"] = round > 0 ? answeredTotal / round : 0;
    // The median beside the mean: one look that waits for a neighbour's burst moves the mean alone.
    std::sort(inPlaceTimes.begin(), inPlaceTimes.end());
    const size_t half = inPlaceTimes.size() / 2;
    state.counters["median_ms"] =
        inPlaceTimes.empty() ? 0 : (inPlaceTimes[(inPlaceTimes.size() - 1) / 2] + inPlaceTimes[half]) / 2;
    // Processor time per look: the server's queue (reading and decoding the body) and the main
    // thread (the engine writing both files); the load of the machine stretches it far less.
    state.counters["server_cpu_ms"] = round > 0 ? serverCpu / round : 0;
    state.counters["engine_cpu_ms"] = round > 0 ? mainCpu / round : 0;
    state.counters["cube_MB"] = double(cube.size()) / 1e6;
}
BENCHMARK(postLookWithStill)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// The two halves of the posted look, each alone on this thread. The server's: decoding the body
// as its queue does once the last byte is in (from a fresh copy, as the body arrives in one; the
// copy is not timed, the body has been written into its buffer by then).
void decodeLookBody(benchmark::State& state) {
    const QByteArray body = eveningBody(QStringLiteral("Evening"));
    for (auto _ : state) {
        state.PauseTiming();
        QByteArray fresh(body.size(), Qt::Uninitialized);
        std::memcpy(fresh.data(), body.constData(), size_t(body.size()));
        state.ResumeTiming();
        benchmark::DoNotOptimize(IncomingBody::decode(std::move(fresh)));
    }
    state.SetBytesProcessed(state.iterations() * body.size());
}
BENCHMARK(decodeLookBody)->Iterations(10)->Unit(benchmark::kMillisecond);

// The engine's: the decoded look handed to receiveLUT until both files are written.
void receiveDecodedLook(benchmark::State& state) {
    SyncEngine& engine = StartedEngine::shared().engine();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const QString name = QStringLiteral("Received %1").arg(++round);
        Incoming incoming{name, eveningCube(), std::nullopt, eveningLook(name)};
        state.ResumeTiming();
        if (!QCoro::waitFor(engine.receiveLUT(std::move(incoming)))) {
            state.SkipWithError("the look was refused");
            break;
        }
        state.PauseTiming();
        QFile::remove(engine.cubePath(name + QStringLiteral(".cube")));
        QFile::remove(engine.stillPath(name + QStringLiteral(".cube")));
        state.ResumeTiming();
    }
}
BENCHMARK(receiveDecodedLook)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    return BenchSupport::runBenchmarks(argc, argv);
}
