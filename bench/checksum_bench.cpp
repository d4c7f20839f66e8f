// ImageChecksum over the embedded firmware files against coreutils' sum over the same
// files, side by side in one run: once in process (coreutils' BSD loop over the same bytes
// in memory, as its bsd_sum_stream runs it) and once as the sum command, start-up included,
// as a user of sum pays it. The ratios are printed at the end, from the medians when the
// benchmark is repeated.
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

// coreutils' BSD sum loop: an int accumulator, rotated and masked by hand for every byte.
int CoreutilsBsdLoop(const unsigned char* data, size_t n) {
    int checksum = 0;
    for (size_t i = 0; i < n; ++i) {
        checksum = (checksum >> 1) + ((checksum & 1) << 15);
        checksum += data[i];
        checksum &= 0xffff;
    }
    return checksum;
}

void BM_CoreutilsLoop(benchmark::State& state) {
    size_t total = 0;
    const auto images = LoadAll(&total);
    for (const auto& img : images) {
        if (CoreutilsBsdLoop(img.data(), img.size()) !=
            static_cast<int>(ImageChecksum(img.data(), static_cast<uint32_t>(img.size())))) {
            state.SkipWithError("the sums differ");
            return;
        }
    }
    for (auto _ : state) {
        for (const auto& img : images) benchmark::DoNotOptimize(CoreutilsBsdLoop(img.data(), img.size()));
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

// Keeps each benchmark's time per iteration so that the ratios can be printed after the
// table: the median when the benchmark is repeated (the other aggregates, such as the
// coefficient of variation, are no times), else the mean of its runs.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            Time& t = m_times[r.run_name.function_name];
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median") {
                    t.median = r.GetAdjustedRealTime();
                    t.has_median = true;
                }
            } else if (!r.error_occurred) {
                t.sum += r.GetAdjustedRealTime();
                ++t.runs;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Of(const std::string& name) const {
        const auto it = m_times.find(name);
        if (it == m_times.end()) return 0.0;
        if (it->second.has_median) return it->second.median;
        return it->second.runs > 0 ? it->second.sum / it->second.runs : 0.0;
    }

private:
    struct Time {
        double sum = 0;
        int runs = 0;
        double median = 0;
        bool has_median = false;
    };
    std::map<std::string, Time> m_times;
};

}  // namespace

BENCHMARK(BM_ImageChecksum)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoreutilsLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoreutilsSum)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.Of("BM_ImageChecksum");
    const double loop = reporter.Of("BM_CoreutilsLoop");
    const double command = reporter.Of("BM_CoreutilsSum");
    if (ours > 0 && loop > 0) {
        std::printf("ratio in process: coreutils' BSD sum loop takes %.2f times as long as ImageChecksum\n",
                    loop / ours);
    }
    if (ours > 0 && command > 0) {
        std::printf(
            "ratio with the command: sum over the %zu files takes %.2f times as long, start-up included\n",
            std::size(kFiles), command / ours);
    }
    benchmark::Shutdown();
    return 0;
}
