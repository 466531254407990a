#pragma once

// What every benchmark program here shares: wall-clock timing, the machine's load (printed with
// the figures, since the machines are shared), and the one command-line flag.

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace vexradb::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The 1, 5 and 15 minute load averages.
inline std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Whether the program runs in its quick mode ("--quick"); nothing, after printing the usage,
// for any other arguments.
inline std::optional<bool> quick_mode(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (argc > 2 || (argc == 2 && mode != "--quick")) {
    std::fprintf(stderr, "usage: %s [--quick]\n", argv[0]);
    return std::nullopt;
  }
  return mode == "--quick";
}

// A benchmark program's main: runs `run(quick)` and gives its exit status; 2 after printing the
// usage for bad arguments, 1 after printing the text of an exception.
template <class Run>
int benchmark_main(int argc, char** argv, Run run) {
  const std::optional<bool> quick = quick_mode(argc, argv);
  if (!quick) return 2;
  try {
    return run(*quick);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
}

}  // namespace vexradb::bench
