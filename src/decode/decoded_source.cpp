#include "decode/decoded_source.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "decode/xz_stream.h"
#include "platform/buffered_io.h"

namespace dh {
namespace {

constexpr const char* kStoppedText = "Decoding stopped";

}  // namespace

class DecodedImageSource::Sink final : public DecodeSink {
 public:
  explicit Sink(DecodedImageSource& source) : source_(source) {}
  SysStatus write(const uint8_t* data, size_t len) override { return source_.put(data, len); }
  SysStatus verified(uint64_t end) override {
    source_.verified(end);
    return {};
  }

 private:
  DecodedImageSource& source_;
};

DecodedImageSource::DecodedImageSource(File& image, ImageFormat format, unsigned threads)
    : memory_(new uint8_t[kDecodedSourceBuffers * kDecodedSourceBufferSize]) {
  for (size_t i = 0; i < kDecodedSourceBuffers; ++i) free_.push_back(memory_.get() + i * kDecodedSourceBufferSize);
  try {
    thread_ = std::thread([this, &image, format, threads] { decode(image, format, threads); });
  } catch (const std::system_error& e) {
    finish(unexpected(
        SysError::fixed("Could not start decoding the " + std::string(format_name(format)) + " image: " + e.what())));
  }
}

DecodedImageSource::~DecodedImageSource() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  free_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DecodedImageSource::decode(File& image, ImageFormat format, unsigned threads) {
  Sink sink(*this);
  SysStatus result;
  try {
    result = decode_image(image, format, kIoBufferSize, sink, threads);
  } catch (const std::bad_alloc&) {
    result = unexpected(SysError::fixed(format == ImageFormat::kXz ? std::string(xz::kMemoryText)
                                                                   : "Not enough memory to decode the image"));
  }
  finish(std::move(result));
}

void DecodedImageSource::push_current() {
  filled_.push_back(Filled{current_, current_size_});
  pushed_ += current_size_;
  current_ = nullptr;
}

SysStatus DecodedImageSource::put(const uint8_t* data, size_t len) {
  while (len > 0) {
    if (current_ == nullptr) {
      std::unique_lock<std::mutex> lock(mutex_);
      free_cv_.wait(lock, [this] { return stop_ || !free_.empty(); });
      if (stop_) return unexpected(SysError::fixed(kStoppedText));
      current_ = free_.back();
      free_.pop_back();
      current_size_ = 0;
    }
    size_t n = std::min(len, kDecodedSourceBufferSize - current_size_);
    std::memcpy(current_ + current_size_, data, n);
    current_size_ += n;
    data += n;
    len -= n;
    if (current_size_ == kDecodedSourceBufferSize) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        push_current();
      }
      filled_cv_.notify_all();
    }
  }
  return {};
}

void DecodedImageSource::verified(uint64_t end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    verified_ = std::max(verified_, end);
  }
  filled_cv_.notify_all();
}

void DecodedImageSource::finish(SysStatus result) {
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

uint64_t DecodedImageSource::releasable() const {
  if (ended_ && result_) return pushed_;
  const uint64_t unchecked_tail_start = pushed_ > kDecodedHeldBackBytes ? pushed_ - kDecodedHeldBackBytes : 0;
  return std::max(std::min(verified_, pushed_), unchecked_tail_start);
}

HelperError DecodedImageSource::failure() const { return helper_error(ErrorCode::kXzInvalid, result_.error()); }

Expected<size_t, HelperError> DecodedImageSource::read(uint8_t* out, size_t len) {
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

Expected<void, HelperError> DecodedImageSource::verify_read() {
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
