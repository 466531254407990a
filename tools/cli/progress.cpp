#include "progress.hpp"

#include <unistd.h>

#include <cstdio>

namespace vexradb::cli {

ProgressBar::ProgressBar(std::string label)
    : label_(std::move(label)), shown_(::isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
  if (shown_ && last_percent_ >= 0) std::fputc('\n', stderr);
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total, std::uint64_t items) {
  if (!shown_) return;
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  if (percent == last_percent_) return;
  last_percent_ = percent;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%  %llu", label_.c_str(), filled,
               "==============================", kWidth - filled, "", percent,
               static_cast<unsigned long long>(items));
  std::fflush(stderr);
}

}  // namespace vexradb::cli
