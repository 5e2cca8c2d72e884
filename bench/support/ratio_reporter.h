// A console reporter that keeps each benchmark's real time per iteration, round after round, so that a
// program can print the ratio of its main road to its raw baseline. `runRounds` runs every benchmark of
// the program once per round, in registration order (ours, raw, ours, raw, …): a warm-up round, printed
// as a table, then `kRounds` measured rounds. A ratio is the median of the per-round ratios, printed with
// their spread (lowest and highest), so a round disturbed by other load moves neither the figure nor its
// neighbour's. A benchmark registered with `MeasureProcessCPUTime()` also has its process CPU time
// (user + system, every thread, from getrusage) kept per round, and `printCpuRatio` prints the median
// ratio of those: a road that buys latency with spinning threads shows there. Main thread only.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lv::bench {

// Measured rounds after the warm-up: at least 7 pairs per ratio.
inline constexpr int kRounds = 7;

struct RatioFigure {
    double median = 0;  // of the per-round ratios
    double lowest = 0;
    double highest = 0;
    int pairs = 0;
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    bool ReportContext(const Context& context) override {
        return quiet_ ? true : benchmark::ConsoleReporter::ReportContext(context);
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        bool failure = false;
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            // A benchmark that failed (a wait past its deadline) has no time, and so no ratio.
            if (run.error_occurred) {
                failed_.push_back(run.benchmark_name());
                failure = true;
            } else if (!rounds_.empty()) {
                rounds_.back()[run.benchmark_name()] = run.GetAdjustedRealTime();
                cpuRounds_.back()[run.benchmark_name()] = run.GetAdjustedCPUTime();
                units_[run.benchmark_name()] = benchmark::GetTimeUnitString(run.time_unit);
            }
        }
        // A failure is always shown, in whichever round it happens.
        if (!quiet_ || failure) benchmark::ConsoleReporter::ReportRuns(runs);
    }

    // Runs the program's benchmarks (as filtered on the command line) for a warm-up round and `rounds`
    // measured ones, then fills `times` with each benchmark's median and prints them.
    void runRounds(int rounds = kRounds) {
        benchmark::RunSpecifiedBenchmarks(this);  // warm-up, shown as the usual table
        quiet_ = true;
        for (int i = 0; i < rounds && failed_.empty(); ++i) {
            rounds_.emplace_back();
            cpuRounds_.emplace_back();
            benchmark::RunSpecifiedBenchmarks(this);
        }
        quiet_ = false;
        std::map<std::string, std::vector<double>> samples;
        std::map<std::string, std::vector<double>> cpuSamples;
        for (const auto& round : rounds_) {
            for (const auto& [name, time] : round) samples[name].push_back(time);
        }
        for (const auto& round : cpuRounds_) {
            for (const auto& [name, time] : round) cpuSamples[name].push_back(time);
        }
        for (auto& [name, list] : samples) {
            if (failedName(name)) continue;
            times[name] = median(list);
            cpuTimes[name] = median(cpuSamples[name]);
            std::printf("median of %zu rounds: %s %.4g %s\n", list.size(), name.c_str(), times[name], unitText(name));
        }
    }

    // The median of the per-round ratios OURS / THEIRS; nothing when either failed or never ran.
    std::optional<RatioFigure> ratio(const std::string& ours, const std::string& theirs) const {
        return ratioOf(rounds_, ours, theirs);
    }

    // Prints "ratio LABEL: N.NNx (target: at most TARGET; median of K interleaved pairs, LOx–HIx)" when
    // both ran; LABEL defaults to "OURS / THEIRS", TARGET "-" for a figure without one.
    void printRatio(const std::string& ours, const std::string& theirs, const char* target,
                    const std::string& label = std::string(), const std::string& note = std::string()) const {
        printFigure(ratioOf(rounds_, ours, theirs), label.empty() ? ours + " / " + theirs : label, target, note);
    }

    // The same for process CPU time (both benchmarks registered with `MeasureProcessCPUTime()`): prints
    // "ratio LABEL CPU: …" with each one's CPU time per iteration in microseconds.
    void printCpuRatio(const std::string& ours, const std::string& theirs, const char* target,
                       const std::string& label, const char* perWhat) const {
        const auto a = cpuTimes.find(ours);
        const auto b = cpuTimes.find(theirs);
        if (a == cpuTimes.end() || b == cpuTimes.end()) return;
        char note[96];
        std::snprintf(note, sizeof note, "%.1f us vs %.1f us of process CPU per %s", microseconds(ours, a->second),
                      microseconds(theirs, b->second), perWhat);
        printFigure(ratioOf(cpuRounds_, ours, theirs), label + " CPU", target, note);
    }

    std::map<std::string, double> times;     // each benchmark's median real time per iteration
    std::map<std::string, double> cpuTimes;  // and its median CPU time per iteration, in the same unit

private:
    using Rounds = std::vector<std::map<std::string, double>>;

    std::optional<RatioFigure> ratioOf(const Rounds& rounds, const std::string& ours, const std::string& theirs) const {
        if (failedName(ours) || failedName(theirs)) return std::nullopt;
        std::vector<double> ratios;
        for (const auto& round : rounds) {
            const auto a = round.find(ours);
            const auto b = round.find(theirs);
            if (a != round.end() && b != round.end() && b->second > 0) ratios.push_back(a->second / b->second);
        }
        if (ratios.empty()) return std::nullopt;
        RatioFigure figure;
        figure.median = median(ratios);
        figure.lowest = *std::min_element(ratios.begin(), ratios.end());
        figure.highest = *std::max_element(ratios.begin(), ratios.end());
        figure.pairs = static_cast<int>(ratios.size());
        return figure;
    }

    void printFigure(const std::optional<RatioFigure>& figure, const std::string& shown, const char* target,
                     const std::string& note) const {
        if (!figure) return;
        const std::string limit = std::string(target) == "-" ? "no target" : std::string("target: at most ") + target;
        // Two decimals, or four for a figure far below one (a cache hit against a decode).
        const int digits = figure->median < 0.1 ? 4 : 2;
        std::printf("ratio %s: %.*fx (%s; median of %d interleaved pairs, %.*fx-%.*fx%s%s)\n", shown.c_str(), digits,
                    figure->median, limit.c_str(), figure->pairs, digits, figure->lowest, digits, figure->highest,
                    note.empty() ? "" : "; ", note.c_str());
    }
    double microseconds(const std::string& name, double time) const {
        const std::string unit = unitText(name);
        if (unit == "ns") return time / 1e3;
        if (unit == "ms") return time * 1e3;
        if (unit == "s") return time * 1e6;
        return time;
    }
    static double median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }
    const char* unitText(const std::string& name) const {
        const auto found = units_.find(name);
        return found == units_.end() ? "" : found->second;
    }
    bool failedName(const std::string& name) const {
        return std::find(failed_.begin(), failed_.end(), name) != failed_.end();
    }

    bool quiet_ = false;
    Rounds rounds_;
    Rounds cpuRounds_;
    std::vector<std::string> failed_;
    std::map<std::string, const char*> units_;
};

}  // namespace lv::bench
