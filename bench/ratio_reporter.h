// A console reporter that also prints, after all runs, the ratio of each
// registered pair of benchmarks: "ours" against its peer or floor, measured in
// the same process, so machine noise affects both sides alike.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace gwbench {

struct RatioPair {
  std::string ours;  // benchmark name prefix, e.g. "generator/glintweave"
  std::string peer;  // e.g. "generator/mt19937"
  double goal;       // the ratio ours/peer should not exceed
};

// Registers a pair; run names are matched by prefix plus any common suffix
// (such as "/threads:2").
void addRatio(const std::string& ours, const std::string& peer, double goal);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  std::map<std::string, double> nsPerItem_;  // run name -> ns per item (or per iteration)
};

// Runs every registered benchmark with the ratio reporter; used by main().
int runWithRatios(int argc, char** argv);

}  // namespace gwbench
