// The one line every bench program prints per figure, for scripts/bench:
//
//   RESULT <name> <value> <unit> <goal>
//
// <name> and <unit> contain no spaces; <goal> is ">=X", "<=X" or "-" (a
// figure shown for information). scripts/bench collects these lines from
// every bench program it runs and judges each figure against its goal.
#pragma once

#include <cstdio>
#include <string>

namespace dialscope::bench {

inline void PrintResult(const std::string& name, double value, const std::string& unit,
                        const std::string& goal = "-") {
    std::printf("RESULT %s %.6g %s %s\n", name.c_str(), value, unit.c_str(), goal.c_str());
    std::fflush(stdout);
}

}  // namespace dialscope::bench
