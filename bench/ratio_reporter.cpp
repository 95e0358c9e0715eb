#include "ratio_reporter.h"

#include <cstdio>

namespace gwbench {
namespace {

struct Split {
  std::string total;
  std::string hostWork;
};

struct Speedup {
  std::string one;
  std::string many;
  int threads;
  double goal;
};

// What the benchmarks registered before main; read once the runs are done.
struct Registered {
  std::vector<RatioPair> pairs;
  std::vector<Split> splits;
  std::vector<Speedup> speedups;
};

Registered& registered() {
  static Registered r;
  return r;
}

}  // namespace

void addSpeedup(const std::string& oneThread, const std::string& manyThreads, int threads,
                double goal) {
  registered().speedups.push_back({oneThread, manyThreads, threads, goal});
}

void addSplit(const std::string& total, const std::string& hostWork) {
  registered().splits.push_back({total, hostWork});
}

void addRatio(const std::string& ours, const std::string& peer, double goal, double slackNs) {
  registered().pairs.push_back({ours, peer, goal, slackNs});
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
    auto cpu = r.counters.find("cpu_ns_per_item");
    if (cpu != r.counters.end()) cpuNsPerItem_[name] = cpu->second.value;
    if (median) medians_.insert(name);
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  // Each table is printed with its header once it has a row.
  bool header = false;
  const auto printHeader = [&header](const char* text) {
    if (!header) std::printf("\n%s", text);
    header = true;
  };

  // Each run of `first`, whatever its suffix ("/real_time", "/threads:8"),
  // with the run of `second` that has the same suffix.
  const auto withSameSuffix = [this](const std::string& first, const std::string& second,
                                     const auto& row) {
    for (const auto& [name, ns] : nsPerItem_) {
      if (name.compare(0, first.size(), first) != 0) continue;
      const std::string suffix = name.substr(first.size());
      const auto other = nsPerItem_.find(second + suffix);
      if (other != nsPerItem_.end()) row(first + suffix, ns, other->second);
    }
  };

  for (const RatioPair& p : registered().pairs) {
    withSameSuffix(p.ours, p.peer, [&](const std::string& name, double ns, double peerNs) {
      if (peerNs <= 0) return;
      const double ratio = ns / peerNs;
      const bool met = ratio <= p.goal || ns - peerNs < p.slackNs;
      printHeader(
          "ratio (ours / peer)                                           ours ns    peer ns"
          "    ratio   goal\n");
      std::printf("%-58s %10.2f %10.2f %8.3f %6.2f %s\n", name.c_str(), ns, peerNs, ratio, p.goal,
                  met ? "met" : "MISSED");
    });
  }

  header = false;
  for (const Split& s : registered().splits) {
    withSameSuffix(s.total, s.hostWork, [&](const std::string& name, double ns, double hostNs) {
      if (ns <= 0) return;
      printHeader(
          "split (total = host + ours)                                  total ns    host ns"
          "    ours ns   host\n");
      std::printf("%-58s %10.2f %10.2f %10.2f %5.0f%%\n", name.c_str(), ns, hostNs, ns - hostNs,
                  100.0 * hostNs / ns);
    });
  }

  header = false;
  // Run names may carry suffixes such as "/real_time".
  const auto byPrefix = [](const std::map<std::string, double>& m, const std::string& prefix) {
    auto it = m.lower_bound(prefix);
    return it != m.end() && it->first.compare(0, prefix.size(), prefix) == 0 ? it : m.end();
  };
  for (const Speedup& s : registered().speedups) {
    auto one = byPrefix(nsPerItem_, s.one);
    auto many = byPrefix(nsPerItem_, s.many);
    if (one == nsPerItem_.end() || many == nsPerItem_.end() || many->second <= 0) continue;
    const double speedup = one->second / many->second;
    const auto cpuOne = byPrefix(cpuNsPerItem_, s.one);
    const auto cpuMany = byPrefix(cpuNsPerItem_, s.many);
    printHeader(
        "speedup (1 thread -> n)                             threads    1: cpu ns    n: cpu ns"
        "  speedup   goal\n");
    std::printf("%-50s %8d %12.1f %12.1f %8.2f %6.2f %s\n", s.many.c_str(), s.threads,
                cpuOne == cpuNsPerItem_.end() ? 0.0 : cpuOne->second,
                cpuMany == cpuNsPerItem_.end() ? 0.0 : cpuMany->second, speedup, s.goal,
                speedup >= s.goal ? "met" : "MISSED");
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
