#include "cloud/EventStreamParser.h"

#include <benchmark/benchmark.h>

namespace {

const QStringList collections{QStringLiteral("tintara_looks"), QStringLiteral("tintara_luts"),
                              QStringLiteral("tintara_projects"), QStringLiteral("tintara_shots")};

// A change event as the service sends it for a record with a look, about 600 bytes.
QByteArray changeBlock(int index) {
    return "id:0123456789abcdef\nevent:tintara_luts\ndata:{\"action\":\"update\",\"record\":{\"id\":\"r" +
           QByteArray::number(index) +
           "\",\"collectionName\":\"tintara_luts\",\"name\":\"Warm Evening.cube\",\"file\":"
           "\"warm_evening_a8f3k2m9x1.cube\",\"size\":1234567,\"resolve\":true,\"source\":\"ipad\",\"look\":{"
           "\"name\":\"Warm "
           "Evening\",\"space\":\"rec709\",\"slope\":[1.05,1.0,0.95],\"offset\":[0.01,0.0,-0.01],"
           "\"power\":[1.0,1.0,1.0],\"saturation\":1.1},\"created\":\"2026-01-01 10:00:00.000Z\",\"updated\":"
           "\"2026-01-01 10:00:00.000Z\"}}\n\n";
}

// Cutting and reading a stream of change events delivered in network-sized pieces.
void cutAndHandleEvents(benchmark::State& state) {
    QByteArray stream;
    for (int i = 0; i < 1000; ++i) {
        stream += changeBlock(i);
    }
    const qsizetype piece = state.range(0);
    qint64 events = 0;
    for (auto _ : state) {
        EventStream::BlockBuffer buffer;
        for (qsizetype at = 0; at < stream.size(); at += piece) {
            for (const QByteArray& block : buffer.append(stream.mid(at, piece))) {
                const EventStream::Outcome outcome = EventStream::handleBlock(block, collections);
                events += std::holds_alternative<RealtimeEvent>(outcome) ? 1 : 0;
            }
        }
    }
    benchmark::DoNotOptimize(events);
    state.SetBytesProcessed(state.iterations() * stream.size());
    state.counters["events/s"] = benchmark::Counter(double(events), benchmark::Counter::kIsRate);
}
BENCHMARK(cutAndHandleEvents)->Arg(64)->Arg(1460)->Arg(16384);

// One large block trickling in: the work must stay linear in its size, not quadratic.
void largeBlockInSmallPieces(benchmark::State& state) {
    const qsizetype size = state.range(0);
    const QByteArray piece(256, 'x');
    for (auto _ : state) {
        EventStream::BlockBuffer buffer;
        for (qsizetype sent = 0; sent < size; sent += piece.size()) {
            benchmark::DoNotOptimize(buffer.append(piece));
        }
        benchmark::DoNotOptimize(buffer.append("\n\n"));
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(largeBlockInSmallPieces)->Arg(1 << 20)->Arg(8 << 20);

} // namespace

BENCHMARK_MAIN();
