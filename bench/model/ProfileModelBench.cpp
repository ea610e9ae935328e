#include "profile/ProfileModel.h"

#include <benchmark/benchmark.h>

namespace {

Dot nthDot(int i) { return {i % kAreaWidth, i / kAreaWidth}; }

void drawDistinctDots(ProfileModel& model, int n) {
    for (int i = 0; i < n; ++i) {
        const Dot d = nthDot(i);
        model.appendDot(d.x, d.y);
    }
}

void BM_AppendDistinctDots(benchmark::State& state) {
    ProfileStore store;
    UserParamsStore params;
    ProfileModel model(store, params);
    for (auto _ : state) {
        state.PauseTiming();
        model.clear();
        state.ResumeTiming();
        drawDistinctDots(model, kMaxDots);
    }
    state.SetItemsProcessed(state.iterations() * kMaxDots);
}
BENCHMARK(BM_AppendDistinctDots)->Unit(benchmark::kMillisecond);

void BM_RebuildWithMidpoints(benchmark::State& state) {
    ProfileStore store;
    UserParamsStore params;
    ProfileModel model(store, params);
    drawDistinctDots(model, kMaxDots);
    for (auto _ : state)
        benchmark::DoNotOptimize(model.rebuild(4));
}
BENCHMARK(BM_RebuildWithMidpoints)->Unit(benchmark::kMillisecond);

void BM_SnapshotOf1280Points(benchmark::State& state) {
    ProfileStore store;
    std::vector<ProfilePoint> points(1280);
    for (int i = 0; i < 1280; ++i)
        points[i] = pixelToUnits(i / 2, i % kAreaHeight);
    store.replace(points);
    ProfileSnapshot snapshot;
    for (auto _ : state) {
        store.copySnapshot(snapshot);
        benchmark::DoNotOptimize(snapshot.x.data());
    }
}
BENCHMARK(BM_SnapshotOf1280Points)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
