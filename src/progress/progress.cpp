#include "progress/progress.h"

#include <cmath>

#include "platform/console.h"
#include "protocol/response.h"

namespace dh {
namespace {

ScopedProgressCapture* g_capture = nullptr;

}  // namespace

void emit_progress(const WindowsHelperRequest& request, const std::string& task_id, const std::string& stage,
                   uint64_t bytes_processed, uint64_t bytes_total, uint64_t speed, const std::string& message) {
  nlohmann::json line = {{"bytesProcessed", bytes_processed},
                         {"bytesTotal", bytes_total},
                         {"event", "progress"},
                         {"message", message},
                         {"sessionId", request.session_id},
                         {"speedBps", speed},
                         {"stage", stage},
                         {"taskId", task_id}};
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

ScopedProgressCapture::ScopedProgressCapture() : previous_(g_capture) { g_capture = this; }
ScopedProgressCapture::~ScopedProgressCapture() { g_capture = previous_; }

}  // namespace dh
