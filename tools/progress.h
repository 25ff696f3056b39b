// A progress bar on standard error, drawn only when standard error is a terminal, so files and
// pipes that capture the program's messages never receive it. Redraws at most every 100 ms.
// Thread-safe: the manifest run's workers report through one bar.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qltool {

class ProgressBar {
 public:
  // enabled false (e.g. --quiet) keeps the bar off even on a terminal.
  explicit ProgressBar(bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  bool active() const { return active_; }
  // Shows fraction (0 to 1) done and a short label.
  void update(double fraction, const std::string& label);
  // Removes the bar from the terminal line.
  void clear();

 private:
  bool active_;
  bool drawn_ = false;
  int64_t last_draw_ms_ = -1;
  std::mutex mutex_;
};

}  // namespace qltool
