// The engine's inbox scan alone, for bench/inbox_hash.sh:
//   inbox_scan_harness make FOLDER MIB   writes 65-point cubes into FOLDER until they hold MIB MiB
//   inbox_scan_harness scan LUT_FOLDER   times one signed-out scan of LUT_FOLDER/To TINTARA and
//                                        prints "seconds S cpu C read R" (wall and processor
//                                        seconds, bytes read), then "HASH *NAME" per item
#include "BenchSupport.h"

#include "engine/SyncEngine.h"
#include "support/EngineFixture.h"

#include <QCoreApplication>
#include <QDir>

#include <QCoroTask>

#include <cstdio>

#include <sys/resource.h>

namespace {

// Processor time of the whole process (every thread), user and system, in seconds.
double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int make(const QString& folder, qint64 mib) {
    qint64 total = 0;
    int count = 0;
    while (total < mib * 1024 * 1024) {
        const QString name = QStringLiteral("Grade %1.cube").arg(++count, 3, 10, QLatin1Char('0'));
        const QByteArray cube = BenchSupport::cubeText(65, count, name.toUtf8());
        if (!BenchSupport::writePlain(QDir(folder).filePath(name), cube)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
            return 1;
        }
        total += cube.size();
    }
    std::printf("%d files, %lld bytes\n", count, total);
    return 0;
}

int scan(const QString& lutFolder) {
    // Signed out: the scan rebuilds the snapshot and uploads nothing.
    const EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(lutFolder);
    const qint64 before = BenchSupport::bytesRead();
    const double cpuBefore = processorSeconds();
    const BenchSupport::Clock::time_point start = BenchSupport::Clock::now();
    QCoro::waitFor(engine.scanInbox());
    const double ms = BenchSupport::milliseconds(BenchSupport::Clock::now() - start);
    const double cpu = processorSeconds() - cpuBefore;
    std::printf("seconds %.4f cpu %.4f read %lld\n", ms / 1000, cpu, BenchSupport::bytesRead() - before);
    for (const InboxItem& item : engine.inboxSnapshot().items) {
        std::printf("%s *%s\n", qPrintable(item.hash), qPrintable(item.name));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("make")) {
        return make(args[2], args[3].toLongLong());
    }
    if (args.size() == 3 && args[1] == QLatin1String("scan")) {
        return scan(args[2]);
    }
    std::fprintf(stderr, "usage: inbox_scan_harness make FOLDER MIB | scan LUT_FOLDER\n");
    return 2;
}
