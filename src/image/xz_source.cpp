#include "image/xz_source.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "image/xz_image.h"
#include "image/xz_stream.h"
#include "platform/buffered_io.h"

namespace dh {
namespace {

constexpr const char* kStoppedText = "XZ decoding stopped";

}  // namespace

class XzImageSource::Sink final : public XzSink {
 public:
  explicit Sink(XzImageSource& source) : source_(source) {}
  SysStatus write(const uint8_t* data, size_t len) override { return source_.put(data, len); }
  SysStatus verified(uint64_t end) override {
    source_.verified(end);
    return {};
  }

 private:
  XzImageSource& source_;
};

XzImageSource::XzImageSource(File& image, unsigned threads)
    : memory_(new uint8_t[kXzSourceBuffers * kXzSourceBufferSize]) {
  for (size_t i = 0; i < kXzSourceBuffers; ++i) free_.push_back(memory_.get() + i * kXzSourceBufferSize);
  try {
    thread_ = std::thread([this, &image, threads] { decode(image, threads); });
  } catch (const std::system_error& e) {
    finish(unexpected(SysError::fixed(std::string("Could not start decoding the XZ image: ") + e.what())));
  }
}

XzImageSource::~XzImageSource() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  free_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void XzImageSource::decode(File& image, unsigned threads) {
  Sink sink(*this);
  SysStatus result;
  try {
    result = xz_decode(image, kIoBufferSize, kXzOutputChunk, sink, threads);
  } catch (const std::bad_alloc&) {
    result = unexpected(SysError::fixed(xz::kMemoryText));
  }
  finish(std::move(result));
}

void XzImageSource::push_current() {
  filled_.push_back(Filled{current_, current_size_});
  pushed_ += current_size_;
  current_ = nullptr;
}

SysStatus XzImageSource::put(const uint8_t* data, size_t len) {
  while (len > 0) {
    if (current_ == nullptr) {
      std::unique_lock<std::mutex> lock(mutex_);
      free_cv_.wait(lock, [this] { return stop_ || !free_.empty(); });
      if (stop_) return unexpected(SysError::fixed(kStoppedText));
      current_ = free_.back();
      free_.pop_back();
      current_size_ = 0;
    }
    size_t n = std::min(len, kXzSourceBufferSize - current_size_);
    std::memcpy(current_ + current_size_, data, n);
    current_size_ += n;
    data += n;
    len -= n;
    if (current_size_ == kXzSourceBufferSize) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        push_current();
      }
      filled_cv_.notify_all();
    }
  }
  return {};
}

void XzImageSource::verified(uint64_t end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    verified_ = std::max(verified_, end);
  }
  filled_cv_.notify_all();
}

void XzImageSource::finish(SysStatus result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // What was decoded before a failure is handed out all the same, as far as
    // releasable() lets it.
    if (current_ != nullptr) {
      if (current_size_ > 0) {
        push_current();
      } else {
        free_.push_back(current_);
        current_ = nullptr;
      }
    }
    ended_ = true;
    result_ = std::move(result);
  }
  filled_cv_.notify_all();
}

uint64_t XzImageSource::releasable() const {
  if (ended_ && result_) return pushed_;
  const uint64_t unchecked_tail_start = pushed_ > kXzHeldBackBytes ? pushed_ - kXzHeldBackBytes : 0;
  return std::max(std::min(verified_, pushed_), unchecked_tail_start);
}

HelperError XzImageSource::failure() const { return helper_error(ErrorCode::kXzInvalid, result_.error()); }

Expected<size_t, HelperError> XzImageSource::read(uint8_t* out, size_t len) {
  size_t copied = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  if (dropping_) return copied;
  while (copied < len) {
    filled_cv_.wait(lock, [this] { return releasable() > handed_ || ended_; });
    const uint64_t limit = releasable();
    if (limit <= handed_) {
      if (!result_) return unexpected(failure());
      break;
    }
    const Filled front = filled_.front();
    size_t n = static_cast<size_t>(std::min<uint64_t>({len - copied, front.size - front_pos_, limit - handed_}));
    // Only this thread takes buffers off the queue, so the front stays
    // while the lock is released for the copy.
    lock.unlock();
    std::memcpy(out + copied, front.data + front_pos_, n);
    lock.lock();
    copied += n;
    front_pos_ += n;
    handed_ += n;
    if (front_pos_ == front.size) {
      filled_.pop_front();
      free_.push_back(front.data);
      front_pos_ = 0;
      free_cv_.notify_one();
    }
  }
  return copied;
}

Expected<void, HelperError> XzImageSource::verify_read() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (ended_) {
      if (!result_) return unexpected(failure());
      return {};
    }
    // A byte decoded past the last one handed out shows that the stream goes
    // on, so the block holding that last byte is all there is to check.
    if (verified_ >= handed_ && pushed_ > handed_) return {};
    // Nothing past what was handed out is wanted: drop it so that the
    // decoder can go on to the check.
    dropping_ = true;
    if (!filled_.empty()) {
      for (const Filled& f : filled_) free_.push_back(f.data);
      filled_.clear();
      front_pos_ = 0;
      free_cv_.notify_all();
    }
    filled_cv_.wait(lock, [this] { return ended_ || !filled_.empty() || (verified_ >= handed_ && pushed_ > handed_); });
  }
}

}  // namespace dh
