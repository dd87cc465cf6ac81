// SaveObjects / LoadObjects of an event list of 100,000 notes, beside a plain memcpy of
// the same number of bytes (the physical limit of moving those bytes once), with ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "model/SeqProperty.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;

namespace {

constexpr int kEvents = 100000;

const std::shared_ptr<const CListEvent>& List() {
    static const auto list = [] {
        auto l = std::make_shared<CListEvent>();
        for (int i = 0; i < kEvents; ++i)
            l->Insert(static_cast<uint32_t>(i / 4) * 120,
                      std::make_shared<CEventNote>(static_cast<uint8_t>(36 + i % 48), 100, 110));
        return std::shared_ptr<const CListEvent>(l);
    }();
    return list;
}

const CRBytes& Bytes() {
    static const CRBytes bytes = CSerialize::SaveObjects(std::vector{List()});
    return bytes;
}

void SetRates(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kEvents);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Bytes().size()));
}

void BM_SaveObjects(benchmark::State& state) {
    const std::vector<std::shared_ptr<const CListEvent>> objects{List()};
    for (auto _ : state) {
        CRBytes out = CSerialize::SaveObjects(objects);
        benchmark::DoNotOptimize(out.data());
    }
    SetRates(state);
}

void BM_LoadObjects(benchmark::State& state) {
    const CRBytes& bytes = Bytes();
    for (auto _ : state) {
        auto objects = CSerialize::LoadObjects(bytes);
        if (objects.size() != 1) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(objects.data());
    }
    SetRates(state);
}

void BM_MemcpyAnchor(benchmark::State& state) {
    const CRBytes& bytes = Bytes();
    CRBytes dest(bytes.size());
    for (auto _ : state) {
        std::memcpy(dest.data(), bytes.data(), bytes.size());
        benchmark::ClobberMemory();
    }
    SetRates(state);
}

BENCHMARK(BM_SaveObjects)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadObjects)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyAnchor)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per iteration to print the ratios after the table.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                seconds[r.benchmark_name()] = r.real_accumulated_time / r.iterations;
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double anchor = reporter.seconds["BM_MemcpyAnchor"];
    const double mb = static_cast<double>(Bytes().size()) / 1e6;
    std::printf("\n%d note events, %.2f MB serialized\n", kEvents, mb);
    for (const char* name : {"BM_SaveObjects", "BM_LoadObjects"}) {
        const double s = reporter.seconds[name];
        if (s <= 0 || anchor <= 0) continue;
        std::printf("%-15s %9.3f ms  %7.2f M events/s  %8.1f MB/s   memcpy anchor %7.3f ms"
                    "  ratio %.1fx\n",
                    name + 3, s * 1e3, kEvents / s / 1e6, mb / s, anchor * 1e3, s / anchor);
    }
    benchmark::Shutdown();
    return 0;
}
