#include "platform/buffer_pipe.h"

#include <algorithm>
#include <system_error>

namespace dh {

BufferPipe::BufferPipe(size_t count, size_t size, bool gated)
    : size_(size), memory_(new uint8_t[count * size]), gated_(gated) {
  for (size_t i = 0; i < count; ++i) free_.push_back(memory_.get() + i * size);
}

BufferPipe::~BufferPipe() {
  stop();
  join();
}

bool BufferPipe::start(std::function<void()> other_end) {
  try {
    thread_ = std::thread(std::move(other_end));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void BufferPipe::join() {
  if (thread_.joinable()) thread_.join();
}

uint8_t* BufferPipe::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (filling_ != nullptr) return filling_;
  changed_.wait(lock, [this] { return stopped_ || !free_.empty(); });
  if (stopped_) return nullptr;
  filling_ = free_.back();
  free_.pop_back();
  return filling_;
}

void BufferPipe::push(size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filled_.emplace_back(filling_, size);
    filling_ = nullptr;
  }
  changed_.notify_all();
}

void BufferPipe::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

std::optional<std::span<const uint8_t>> BufferPipe::next() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (draining_ != nullptr) {
    free_.push_back(const_cast<uint8_t*>(draining_));
    draining_ = nullptr;
    changed_.notify_all();
  }
  changed_.wait(lock, [this] { return stopped_ || closed_ || front_ready(); });
  if (stopped_ || !front_ready()) return std::nullopt;
  auto chunk = filled_.front();
  filled_.pop_front();
  draining_ = chunk.data();
  drained_ += chunk.size();
  return chunk;
}

void BufferPipe::release(uint64_t end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = std::max(released_, end);
  }
  changed_.notify_all();
}

void BufferPipe::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

}  // namespace dh
