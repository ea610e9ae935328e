// What the fault layer costs the stream per datagram: without faults (every
// datagram passes through) and with every stream fault set.
#include "faults/ScannerFaults.h"

#include <benchmark/benchmark.h>

namespace {

void sendThroughFaults(benchmark::State& state, const char* spec) {
    ScannerFaults faults(1);
    faults.setFaults(parseFaultSpec(QString::fromLatin1(spec)).spec);
    QByteArray datagram(5140, '\x5a');  // a 1280-point packet's size
    size_t sent = 0;
    const DatagramFaults::Sink sink = [&sent](const QByteArray& d) { sent += size_t(d.size()); };
    for (auto _ : state) {
        faults.stream().send(datagram, DatagramFaults::Clock::now(), sink);
        benchmark::DoNotOptimize(sent);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_NoFaults(benchmark::State& state) { sendThroughFaults(state, "none"); }
void BM_EveryStreamFault(benchmark::State& state) {
    sendThroughFaults(state, "loss=5%,burst=3,dup=1%,reorder=1%,corrupt=1%");
}

}  // namespace

BENCHMARK(BM_NoFaults);
BENCHMARK(BM_EveryStreamFault);
BENCHMARK_MAIN();
