// The still writer's speed: a whole still from the shipped template, and the raw Zstandard
// framing of 64 MiB against a plain memcpy of the same bytes in the same run.
#include "platform/Resources.h"
#include "resolve/ResolveGrade.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

#include <cstring>

namespace {

constexpr qsizetype kLargeInput = qsizetype(64) * 1024 * 1024;

ResolveGrade::Look benchLook() {
    ResolveGrade::Look look;
    look.name = QStringLiteral("Warm & \"bright\"");
    look.slope = {1.1, 1.0, 0.9};
    look.offset = {0.05, 0.0, -0.02};
    look.power = {0.9, 1.0, 1.2};
    look.saturation = 1.15;
    look.lutPath = QStringLiteral("Tonewharf/Warm.cube");
    return look;
}

QByteArray largeInput() {
    QByteArray input(kLargeInput, Qt::Uninitialized);
    for (qsizetype index = 0; index < input.size(); ++index) {
        input[index] = char(index * 131 + (index >> 12));
    }
    return input;
}

// The template read once, as the engine would keep it; the files are the shipped ones.
void BM_MakeStill(benchmark::State& state) {
    const auto loaded = ResolveGrade::templateFromFiles(Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR)));
    if (!loaded) {
        state.SkipWithError("the shipped template could not be read");
        return;
    }
    const ResolveGrade::Template stillTemplate = loaded.value();
    const ResolveGrade::Look look = benchLook();
    for (auto _ : state) {
        auto still = ResolveGrade::makeStill(look, stillTemplate);
        benchmark::DoNotOptimize(still);
    }
}
BENCHMARK(BM_MakeStill)->Unit(benchmark::kMicrosecond);

// The whole call, reading both template files each time, as makeStill(look, resources) does.
void BM_MakeStillFromFiles(benchmark::State& state) {
    const Resources resources(QStringLiteral(TONEWHARF_RESOURCE_DIR));
    const ResolveGrade::Look look = benchLook();
    for (auto _ : state) {
        auto still = ResolveGrade::makeStill(look, resources);
        benchmark::DoNotOptimize(still);
    }
}
BENCHMARK(BM_MakeStillFromFiles)->Unit(benchmark::kMicrosecond);

void BM_RawZstdFrame64MiB(benchmark::State& state) {
    const QByteArray input = largeInput();
    for (auto _ : state) {
        QByteArray frame = ResolveGrade::rawZstdFrame(input);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_RawZstdFrame64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The frame written into a buffer kept from one call to the next.
void BM_RawZstdFrame64MiBReusedBuffer(benchmark::State& state) {
    const QByteArray input = largeInput();
    QByteArray frame;
    ResolveGrade::appendRawZstdFrame(frame, input);
    for (auto _ : state) {
        frame.resize(0);
        ResolveGrade::appendRawZstdFrame(frame, input);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_RawZstdFrame64MiBReusedBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes copied into a fresh buffer of the same size, as the frame is.
void BM_Memcpy64MiBFreshBuffer(benchmark::State& state) {
    const QByteArray input = largeInput();
    for (auto _ : state) {
        QByteArray copy(input.size(), Qt::Uninitialized);
        std::memcpy(copy.data(), input.constData(), size_t(input.size()));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_Memcpy64MiBFreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes copied into a buffer allocated once: the fastest a copy can be here.
void BM_Memcpy64MiBReusedBuffer(benchmark::State& state) {
    const QByteArray input = largeInput();
    QByteArray copy(input.size(), '\0');
    for (auto _ : state) {
        std::memcpy(copy.data(), input.constData(), size_t(input.size()));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_Memcpy64MiBReusedBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
