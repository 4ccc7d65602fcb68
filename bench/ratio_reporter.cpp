#include "ratio_reporter.h"

#include <stdio.h>
#include <unistd.h>

#include <vector>

namespace krvbench {

RatioReporter::RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
        const bool is_median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
        if (r.run_type == Run::RT_Aggregate && !is_median) continue;
        const std::string name = r.run_name.str();
        if (median_[name] && !is_median) continue;  // a median already stands for it
        const double ns = r.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
        if (is_median || !ns_.count(name)) {
            ns_[name] = ns;
            median_[name] = is_median;
        }
    }
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    bool header = false;
    for (const auto& [name, ns] : ns_) {
        // "<group>/<variant>/<case>"
        const size_t a = name.find('/'), b = name.rfind('/');
        if (a == std::string::npos || a == b) continue;
        const std::string variant = name.substr(a + 1, b - a - 1);
        if (variant.rfind("library", 0) != 0) continue;
        const std::string ref = name.substr(0, a) + "/reference" + name.substr(b);
        auto it = ns_.find(ref);
        if (it == ns_.end() || ns <= 0) continue;
        if (!header) {
            printf("\n%-36s %12s %12s %8s\n", "library vs reference", "library ns", "reference ns", "ratio");
            header = true;
        }
        printf("%-36s %12.1f %12.1f %7.1fx\n", name.c_str(), ns, it->second, it->second / ns);
    }
    fflush(stdout);
}

}  // namespace krvbench
