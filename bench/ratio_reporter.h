// Console output plus, at the end, the speed-up of the library over the
// plain reference for every benchmark named "<group>/library.../<case>"
// that has a "<group>/reference/<case>" partner. Medians are used when the
// run has repetitions.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace krvbench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal.
    RatioReporter();
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

  private:
    std::map<std::string, double> ns_;  // per-iteration real time, by name
    std::map<std::string, bool> median_;
};

}  // namespace krvbench
