// A console reporter that also prints, after all runs, the ratio of each
// registered pair of benchmarks: "ours" against its peer or floor, measured in
// the same process, so machine noise affects both sides alike.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace gwbench {

struct RatioPair {
  std::string ours;  // benchmark name prefix, e.g. "generator/glintweave"
  std::string peer;  // e.g. "generator/mt19937"
  double goal;       // the ratio ours/peer should not exceed...
  double slackNs;    // ...unless ours is less than this many ns slower
};

// Registers a pair; run names are matched by prefix plus any common suffix
// (such as "/threads:2"). A goal is met when the ratio is at most `goal`, or
// when ours is less than `slackNs` nanoseconds slower than its peer.
void addRatio(const std::string& ours, const std::string& peer, double goal, double slackNs = 0.0);

// Registers a cost split: `total` is a whole operation through a host,
// `hostWork` the same host calls with none of our work; the table after the
// runs shows both and their difference, our own cost.
void addSplit(const std::string& total, const std::string& hostWork);

// Registers a thread-scaling pair: the same work on one thread and on
// `threads` threads. The table shows the speedup in items per wall-clock
// second, which should be at least `goal`, and, where a run reports the
// counter "cpu_ns_per_item" (process CPU time, every thread's), the CPU time
// each item took: when it stays flat while the speedup falls short, the
// threads were waiting for a core, not for each other.
void addSpeedup(const std::string& oneThread, const std::string& manyThreads, int threads,
                double goal);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  std::map<std::string, double> nsPerItem_;     // run name -> ns per item (or per iteration)
  std::map<std::string, double> cpuNsPerItem_;  // run name -> the cpu_ns_per_item counter
  std::set<std::string> medians_;               // runs whose entry is a median of repetitions
};

// Runs every registered benchmark with the ratio reporter; used by main().
int runWithRatios(int argc, char** argv);

}  // namespace gwbench
