#include "progress/progress.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/console.h"
#include "protocol/response.h"

namespace dh {
namespace {

ScopedProgressCapture* g_capture = nullptr;

}  // namespace

uint64_t speed_bps(uint64_t bytes, std::chrono::steady_clock::duration elapsed, double floor_seconds) {
  double seconds = std::chrono::duration<double>(elapsed).count();
  double speed = static_cast<double>(bytes) / std::max(seconds, floor_seconds);
  if (!(speed > 0.0)) return 0;
  if (speed >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(speed);
}

bool ProgressRateLimit::due(std::chrono::steady_clock::time_point now) {
  if (now - last_ < std::chrono::milliseconds(500)) return false;
  last_ = now;
  return true;
}

Progress::Progress(std::string session_id, std::string task_id, Clock& clock)
    : Progress(true, std::move(session_id), std::move(task_id), clock) {}

Progress::Progress(bool reports, std::string session_id, std::string task_id, Clock& clock)
    : reports_(reports), session_id_(std::move(session_id)), task_id_(std::move(task_id)), clock_(clock) {}

Progress Progress::silent(Clock& clock) { return Progress(false, "", "", clock); }

void Progress::start_stage(uint64_t bytes_total) {
  bytes_total_ = bytes_total;
  stage_start_ = clock_.now();
  rate_ = ProgressRateLimit(stage_start_);
}

std::chrono::steady_clock::duration Progress::elapsed() const { return clock_.now() - stage_start_; }

void Progress::periodic(const std::string& stage, uint64_t bytes_processed, const std::string& message) {
  if (!reports_) return;
  auto now = clock_.now();
  if (!rate_.due(now)) return;
  line(stage, bytes_processed, speed_bps(bytes_processed, now - stage_start_), message);
}

void Progress::line(const std::string& stage, uint64_t bytes_processed, uint64_t speed,
                    const std::string& message) const {
  if (!reports_) return;
  // Sorted keys, compact.
  nlohmann::json line = {
      {"bytesProcessed", bytes_processed}, {"bytesTotal", bytes_total_}, {"event", "progress"}, {"message", message},
      {"sessionId", session_id_},          {"speedBps", speed},          {"stage", stage},      {"taskId", task_id_}};
  std::string text;
  try {
    text = dump_json(line);
  } catch (const nlohmann::json::exception&) {
    text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  if (g_capture != nullptr) {
    g_capture->lines_.push_back(std::move(text));
    return;
  }
  write_stdout_line(text);
}

ScopedProgressCapture::ScopedProgressCapture() : previous_(g_capture) { g_capture = this; }
ScopedProgressCapture::~ScopedProgressCapture() { g_capture = previous_; }

}  // namespace dh
