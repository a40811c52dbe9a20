// Progress lines printed while write_image runs, before the response line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace dh {

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

// The progress of one task: its session and task ids, the clock its stages
// are timed by, and the rate limit of its periodic lines. Lines go to standard
// output (or to a ScopedProgressCapture); a silent instance, for commands
// that answer with the response line alone, prints nothing and reads the
// clock only where the caller times a stage. Only one thread reports.
class Progress {
 public:
  Progress(std::string session_id, std::string task_id, Clock& clock);
  static Progress silent(Clock& clock);

  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  Clock& clock() const { return clock_; }
  // False for a silent instance.
  bool reports() const { return reports_; }

  // Reads the clock once: the start of a timed stage, which its periodic
  // lines' speed counts from and their rate limit starts at. Its lines carry
  // `bytes_total` as bytesTotal.
  void start_stage(uint64_t bytes_total);

  // Reads the clock once: the time since start_stage().
  std::chrono::steady_clock::duration elapsed() const;

  // Prints one line now. A failed write to standard output ends the process
  // (see write_stdout_line).
  void line(const std::string& stage, uint64_t bytes_processed, uint64_t speed_bps, const std::string& message) const;

  // Reads the clock and prints a line with the speed since start_stage()
  // when the rate limit lets one through. A silent instance does nothing,
  // not even read the clock.
  void periodic(const std::string& stage, uint64_t bytes_processed, const std::string& message);

 private:
  Progress(bool reports, std::string session_id, std::string task_id, Clock& clock);

  bool reports_;
  std::string session_id_;
  std::string task_id_;
  Clock& clock_;
  std::chrono::steady_clock::time_point stage_start_{};
  uint64_t bytes_total_ = 0;
  ProgressRateLimit rate_{std::chrono::steady_clock::time_point{}};
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
  friend class Progress;
  std::vector<std::string> lines_;
  ScopedProgressCapture* previous_;
};

}  // namespace dh
