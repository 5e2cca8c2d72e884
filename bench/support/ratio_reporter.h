// A console reporter that also keeps each benchmark's real time per iteration, so that a program can
// print the ratio of its main road to its raw baseline after the runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace lv::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            // A benchmark that failed (a wait past its deadline) has no time, and so no ratio.
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Prints "ratio OURS / THEIRS: N.NNx (target: at most TARGET)" when both ran.
    void printRatio(const char* ours, const char* theirs, const char* target) const {
        const auto a = times.find(ours);
        const auto b = times.find(theirs);
        if (a != times.end() && b != times.end() && b->second > 0) {
            std::printf("ratio %s / %s: %.2fx (target: at most %s)\n", ours, theirs, a->second / b->second, target);
        }
    }

    std::map<std::string, double> times;
};

}  // namespace lv::bench
