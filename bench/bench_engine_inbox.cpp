#include "BenchSupport.h"

#include "cloud/CredentialService.h"
#include "engine/SyncEngine.h"
#include "support/EngineFixture.h"

#include <QCryptographicHash>
#include <QDir>

#include <QCoroTask>

#include <benchmark/benchmark.h>

namespace {

constexpr int cubeCount = 1000;

// 1,000 unchanged 33-point cubes in one inbox, all recorded in the ledger with their hashes as
// after an earlier push; one engine signed in and one signed out over the same LUT folder.
class UnchangedInbox {
public:
    static UnchangedInbox& shared() {
        static UnchangedInbox inbox;
        return inbox;
    }

    SyncEngine& engine(bool signedIn) { return signedIn ? *m_signedIn : *m_signedOut; }
    const QString& error() const { return m_error; }
    qint64 bytes() const { return m_bytes; }

private:
    UnchangedInbox() {
        const QString lutFolder = m_signedInFixture.path(QStringLiteral("LUT"));
        const QDir inbox(QDir(lutFolder).filePath(QStringLiteral("To TINTARA")));
        Ledger ledger;
        if (!QDir().mkpath(inbox.path()) || !QDir().mkpath(m_signedInFixture.supportFolder())) {
            m_error = QStringLiteral("cannot create the folders");
            return;
        }
        for (int i = 1; i <= cubeCount; ++i) {
            const QString name = QStringLiteral("Grade %1.cube").arg(i, 4, 10, QLatin1Char('0'));
            const QByteArray cube = BenchSupport::cubeText(33, i, name.toUtf8());
            if (!BenchSupport::writePlain(inbox.filePath(name), cube)) {
                m_error = QStringLiteral("cannot write ") + name;
                return;
            }
            m_bytes += cube.size();
            // An independent SHA-256, so that "nothing uploaded" also says the engine's hashes are right.
            ledger.pushed.insert(
                name,
                {QStringLiteral("record%1").arg(i),
                 QString::fromLatin1(QCryptographicHash::hash(cube, QCryptographicHash::Sha256).toHex())});
        }
        BenchSupport::writePlain(
            QDir(m_signedInFixture.supportFolder()).filePath(QStringLiteral("ledger.json")), ledger.encode());
        const QString service = CredentialService::name();
        m_signedInFixture.credentials()->write(service, QStringLiteral("token"), QStringLiteral("bench"));
        m_signedInFixture.credentials()->write(service, QStringLiteral("userID"), QStringLiteral("u1"));
        m_signedInFixture.credentials()->write(service, QStringLiteral("email"),
                                               QStringLiteral("a@example.com"));

        m_signedIn = std::make_unique<SyncEngine>(m_signedInFixture.services());
        m_signedOut = std::make_unique<SyncEngine>(m_signedOutFixture.services());
        for (SyncEngine* engine : {m_signedIn.get(), m_signedOut.get()}) {
            engine->setLutFolderPath(lutFolder);
        }
        if (!m_signedIn->identity().contains(QStringLiteral("account")) || m_signedIn->ledger() != ledger) {
            m_error = QStringLiteral("the engine is not signed in with the ledger of the inbox");
        }
    }

    EngineFixture m_signedInFixture;
    EngineFixture m_signedOutFixture;
    std::unique_ptr<SyncEngine> m_signedIn;
    std::unique_ptr<SyncEngine> m_signedOut;
    qint64 m_bytes = 0;
    QString m_error;
};

// The whole scan as the watcher starts it: list, read, hash, compare with the snapshot and the
// ledger. Signed in, every file is found pushed already, so nothing may be uploaded.
void scanUnchangedInbox(benchmark::State& state) {
    UnchangedInbox& inbox = UnchangedInbox::shared();
    if (!inbox.error().isEmpty()) {
        state.SkipWithError(qPrintable(inbox.error()));
        return;
    }
    SyncEngine& engine = inbox.engine(state.range(0) != 0);
    QCoro::waitFor(engine.scanInbox()); // the snapshot, and the files into the page cache
    const QList<Activity> activity = engine.activity();
    const Ledger ledger = engine.ledger();
    const InboxSnapshot snapshot = engine.inboxSnapshot();
    if (snapshot.items.size() != cubeCount) {
        state.SkipWithError("the snapshot does not hold every cube");
        return;
    }

    qint64 read = 0;
    for (auto _ : state) {
        const qint64 before = BenchSupport::bytesRead();
        QCoro::waitFor(engine.scanInbox());
        read += BenchSupport::bytesRead() - before;
    }
    if (engine.activity() != activity || engine.ledger() != ledger ||
        engine.inboxSnapshot().seq != snapshot.seq) {
        state.SkipWithError("the scan logged, uploaded or changed something");
        return;
    }
    const double perScan = double(read) / double(state.iterations());
    state.SetBytesProcessed(state.iterations() * inbox.bytes());
    state.counters["read_MB"] = perScan / 1e6;
    state.counters["read_per_inbox_byte"] = perScan / double(inbox.bytes());
}
BENCHMARK(scanUnchangedInbox)
    ->ArgName("signed_in")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    return BenchSupport::runBenchmarks(argc, argv);
}
