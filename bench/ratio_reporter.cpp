#include "ratio_reporter.h"

#include <cstdio>

namespace gwbench {
namespace {

std::vector<RatioPair>& pairs() {
  static std::vector<RatioPair> p;
  return p;
}

struct Split {
  std::string total;
  std::string hostWork;
};

std::vector<Split>& splits() {
  static std::vector<Split> s;
  return s;
}

}  // namespace

void addSplit(const std::string& total, const std::string& hostWork) {
  splits().push_back({total, hostWork});
}

void addRatio(const std::string& ours, const std::string& peer, double goal, double slackNs) {
  pairs().push_back({ours, peer, goal, slackNs});
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& r : runs) {
    if (r.error_occurred) continue;
    // With --benchmark_repetitions the median stands for the run; without,
    // the single iteration run does.
    const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
    if (r.run_type != Run::RT_Iteration && !median) continue;
    const std::string name = r.run_name.str();
    if (!median && medians_.count(name)) continue;
    // Items per second counts every thread's work against the run's time:
    // wall time for UseRealTime runs (what a renderer on many threads cares
    // about), else this process's CPU time, which a machine shared with other
    // work disturbs less. Without items, the time per iteration.
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
    nsPerItem_[name] = ns;
    if (median) medians_.insert(name);
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
      const bool met = ratio <= p.goal || ns - peer->second < p.slackNs;
      std::printf("%-58s %10.2f %10.2f %8.3f %6.2f %s\n", (p.ours + suffix).c_str(), ns,
                  peer->second, ratio, p.goal, met ? "met" : "MISSED");
    }
  }
  if (!splits().empty()) {
    std::printf("\n%-58s %10s %10s %10s %6s\n", "split (total = host + ours)", "total ns",
                "host ns", "ours ns", "host");
  }
  for (const Split& s : splits()) {
    for (const auto& [name, ns] : nsPerItem_) {
      if (name.compare(0, s.total.size(), s.total) != 0) continue;
      const std::string suffix = name.substr(s.total.size());
      auto host = nsPerItem_.find(s.hostWork + suffix);
      if (host == nsPerItem_.end() || ns <= 0) continue;
      std::printf("%-58s %10.2f %10.2f %10.2f %5.0f%%\n", (s.total + suffix).c_str(), ns,
                  host->second, ns - host->second, 100.0 * host->second / ns);
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
