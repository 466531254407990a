#pragma once
// A one-line progress bar on standard error, drawn only when standard error is a terminal (so
// logs and pipes stay clean). Hand-written: Debian packages no C++ progress-bar library, and
// this is a dozen lines.
#include <cstdint>
#include <string>

namespace vexradb::cli {

class ProgressBar {
 public:
  explicit ProgressBar(std::string label);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // `done` of `total` bytes, with `items` loaded so far.
  void update(std::uint64_t done, std::uint64_t total, std::uint64_t items);

 private:
  std::string label_;
  bool shown_;
  int last_percent_ = -1;
};

}  // namespace vexradb::cli
