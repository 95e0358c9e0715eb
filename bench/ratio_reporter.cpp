#include "ratio_reporter.h"

#include <cstdio>

namespace gwbench {
namespace {

std::vector<RatioPair>& pairs() {
  static std::vector<RatioPair> p;
  return p;
}

}  // namespace

void addRatio(const std::string& ours, const std::string& peer, double goal) {
  pairs().push_back({ours, peer, goal});
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& r : runs) {
    if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
    // Items per second counts every thread's work against wall time, which
    // is what a renderer cares about; fall back to time per iteration.
    auto it = r.counters.find("items_per_second");
    double ns = 0;
    if (it != r.counters.end() && it->second.value > 0) {
      ns = 1e9 / it->second.value;
    } else {
      ns = r.GetAdjustedRealTime() * (r.time_unit == benchmark::kNanosecond    ? 1.0
                                      : r.time_unit == benchmark::kMicrosecond ? 1e3
                                      : r.time_unit == benchmark::kMillisecond ? 1e6
                                                                               : 1e9);
    }
    nsPerItem_[r.benchmark_name()] = ns;
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::printf("\n%-58s %10s %10s %8s %6s\n", "ratio (ours / peer)", "ours ns", "peer ns", "ratio",
              "goal");
  for (const RatioPair& p : pairs()) {
    for (const auto& [name, ns] : nsPerItem_) {
      if (name.compare(0, p.ours.size(), p.ours) != 0) continue;
      const std::string suffix = name.substr(p.ours.size());
      auto peer = nsPerItem_.find(p.peer + suffix);
      if (peer == nsPerItem_.end() || peer->second <= 0) continue;
      const double ratio = ns / peer->second;
      std::printf("%-58s %10.2f %10.2f %8.3f %6.2f %s\n", (p.ours + suffix).c_str(), ns,
                  peer->second, ratio, p.goal, ratio <= p.goal ? "met" : "MISSED");
    }
  }
  std::fflush(stdout);
}

int runWithRatios(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace gwbench
