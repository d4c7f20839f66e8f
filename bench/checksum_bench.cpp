// ImageChecksum over the embedded firmware files against coreutils' sum over the same
// files, side by side in one run. The sum side includes starting the process, as a user of
// sum pays it; the ratio is printed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "images/manifest.h"

namespace {

const char* const kFiles[] = {"135.bin", "132.bin", "133.bin"};

std::string PathOf(const char* name) { return std::string(ORVANE_FIRMWARE_FILES_DIR) + "/" + name; }

std::vector<std::vector<unsigned char>> LoadAll(size_t* total) {
    std::vector<std::vector<unsigned char>> all;
    *total = 0;
    for (const char* f : kFiles) {
        std::ifstream in(PathOf(f), std::ios::binary);
        all.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        *total += all.back().size();
    }
    return all;
}

void BM_ImageChecksum(benchmark::State& state) {
    size_t total = 0;
    const auto images = LoadAll(&total);
    for (auto _ : state) {
        for (const auto& img : images) {
            benchmark::DoNotOptimize(ImageChecksum(img.data(), static_cast<uint32_t>(img.size())));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}

void BM_CoreutilsSum(benchmark::State& state) {
    size_t total = 0;
    LoadAll(&total);
    std::string cmd = "sum";
    for (const char* f : kFiles) cmd += " '" + PathOf(f) + "'";
    cmd += " >/dev/null";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("coreutils sum failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}

// Keeps each run's time per iteration so that the ratio can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) m_seconds[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // The time of the first run whose name starts with prefix (names carry suffixes such as
    // "/real_time").
    double Of(const std::string& prefix) const {
        for (const auto& [name, seconds] : m_seconds)
            if (name.compare(0, prefix.size(), prefix) == 0) return seconds;
        return 0.0;
    }

private:
    std::map<std::string, double> m_seconds;
};

}  // namespace

BENCHMARK(BM_ImageChecksum)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoreutilsSum)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.Of("BM_ImageChecksum");
    const double theirs = reporter.Of("BM_CoreutilsSum");
    if (ours > 0 && theirs > 0) {
        std::printf(
            "ratio: coreutils sum takes %.2f times as long as ImageChecksum over the same %zu files\n",
            theirs / ours, std::size(kFiles));
    }
    benchmark::Shutdown();
    return 0;
}
