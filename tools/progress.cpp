#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "quotelab/utilcore.h"

namespace qltool {
namespace {
// Redrawing more often than this only costs time; less often looks stuck.
constexpr int64_t kRedrawMs = 100;
constexpr int kWidth = 30;
}  // namespace

ProgressBar::ProgressBar(bool enabled) : active_(enabled && isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
  clear();
}

void ProgressBar::update(double fraction, const std::string& label) {
  if (!active_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = KX::TimeTools::steady_ms();
  if (last_draw_ms_ >= 0 && now - last_draw_ms_ < kRedrawMs) return;
  last_draw_ms_ = now;
  fraction = std::clamp(fraction, 0.0, 1.0);
  const int filled = static_cast<int>(fraction * kWidth);
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r[%s] %3d%% %-40.40s", bar, static_cast<int>(fraction * 100),
               label.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!active_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!drawn_) return;
  std::fprintf(stderr, "\r%*s\r", kWidth + 48, "");
  std::fflush(stderr);
  drawn_ = false;
  last_draw_ms_ = -1;
}

}  // namespace qltool
