// Progress lines printed while write_image runs, before the response line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/request.h"

namespace dh {

// Writes one progress line (sorted keys, compact) and flushes it. A failed
// write to standard output ends the process (see write_stdout_line).
void emit_progress(const WindowsHelperRequest& request, const std::string& task_id, const std::string& stage,
                   uint64_t bytes_processed, uint64_t bytes_total, uint64_t speed_bps, const std::string& message);

// bytes / max(elapsed seconds, floor), truncated to an unsigned 64-bit
// integer, saturating at 2^64-1; 0 for negative or undefined values.
uint64_t speed_bps(uint64_t bytes, std::chrono::steady_clock::duration elapsed, double floor_seconds = 0.001);

// The 500 ms rate limit of periodic lines: due() is true, and restarts the
// interval, when at least 500 ms passed since the start or the last due line.
class ProgressRateLimit {
 public:
  explicit ProgressRateLimit(std::chrono::steady_clock::time_point start) : last_(start) {}
  bool due(std::chrono::steady_clock::time_point now);

 private:
  std::chrono::steady_clock::time_point last_;
};

// Collects progress lines in memory instead of printing them, for tests.
class ScopedProgressCapture {
 public:
  ScopedProgressCapture();
  ~ScopedProgressCapture();
  ScopedProgressCapture(const ScopedProgressCapture&) = delete;
  ScopedProgressCapture& operator=(const ScopedProgressCapture&) = delete;
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  friend void emit_progress(const WindowsHelperRequest&, const std::string&, const std::string&, uint64_t, uint64_t,
                            uint64_t, const std::string&);
  std::vector<std::string> lines_;
  ScopedProgressCapture* previous_;
};

}  // namespace dh
