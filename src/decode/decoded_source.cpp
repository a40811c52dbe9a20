#include "decode/decoded_source.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "decode/xz_stream.h"

namespace dh {
namespace {

constexpr const char* kStoppedText = "Decoding stopped";

}  // namespace

class DecodedImageSource::Sink final : public DecodeSink {
 public:
  explicit Sink(DecodedImageSource& source) : source_(source) {}
  SysStatus write(const uint8_t* data, size_t len) override { return source_.put(data, len); }
  SysStatus verified(uint64_t end) override { return source_.verified(end); }

 private:
  DecodedImageSource& source_;
};

DecodedImageSource::DecodedImageSource(File& image, ImageFormat format, std::optional<uint64_t> limit, bool hash,
                                       unsigned threads)
    : limit_(limit.value_or(UINT64_MAX)),
      hash_(hash),
      pipe_(kDecodedSourceBuffers, kDecodedSourceBufferSize, /*gated=*/true) {
  if (limit_ == 0) {
    finish({});
    return;
  }
  try {
    thread_ = std::thread([this, &image, format, threads] { decode(image, format, threads); });
  } catch (const std::system_error& e) {
    finish(unexpected(
        SysError::fixed("Could not start decoding the " + std::string(format_name(format)) + " image: " + e.what())));
  }
}

DecodedImageSource::~DecodedImageSource() {
  pipe_.stop();
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
  pipe_.push(current_size_);
  pushed_ += current_size_;
  current_ = nullptr;
  current_size_ = 0;
}

SysStatus DecodedImageSource::put(const uint8_t* data, size_t len) {
  decoded_ += len;
  while (len > 0 && pushed_ + current_size_ < limit_) {
    if (current_ == nullptr && (current_ = pipe_.acquire()) == nullptr)
      return unexpected(SysError::fixed(kStoppedText));
    size_t n = static_cast<size_t>(
        std::min<uint64_t>({len, kDecodedSourceBufferSize - current_size_, limit_ - pushed_ - current_size_}));
    std::memcpy(current_ + current_size_, data, n);
    if (hash_) sha_.update(data, n);
    current_size_ += n;
    data += n;
    len -= n;
    if (current_size_ == kDecodedSourceBufferSize || pushed_ + current_size_ == limit_) {
      push_current();
      release();
    }
  }
  // Past the limit nothing more goes in; decoding goes on only as far as the
  // proof of the last byte needs.
  if (pushed_ == limit_ && release()) return unexpected(SysError::fixed(kStoppedText));
  return {};
}

SysStatus DecodedImageSource::verified(uint64_t end) {
  verified_ = std::max(verified_, end);
  if (release()) return unexpected(SysError::fixed(kStoppedText));
  return {};
}

bool DecodedImageSource::release() {
  const uint64_t unchecked_tail_start = pushed_ > kDecodedHeldBackBytes ? pushed_ - kDecodedHeldBackBytes : 0;
  uint64_t releasable = std::max(std::min(verified_, pushed_), unchecked_tail_start);
  // A byte decoded past the limit shows that the image goes on, so the part
  // holding the limit's last byte is all there is to prove.
  if (pushed_ == limit_ && verified_ >= limit_ && decoded_ > limit_) {
    releasable = limit_;
    proven_ = true;
  }
  pipe_.release(releasable);
  return proven_;
}

void DecodedImageSource::finish(SysStatus result) {
  // Stopping once the limit is proven is no failure.
  if (!result && proven_) result = {};
  if (current_ != nullptr) {
    if (current_size_ > 0) {
      push_current();
    } else {
      // An acquired buffer goes back with the pipe; nothing to hand out.
      current_ = nullptr;
    }
  }
  if (result) {
    // A sound image: every byte it decoded passed its check.
    pipe_.release(pushed_);
  } else {
    // What was decoded before a failure goes out as far as the rule lets it.
    release();
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(result).error();
  }
  pipe_.close();
}

Expected<std::span<const uint8_t>, HelperError> DecodedImageSource::next() {
  if (auto chunk = pipe_.next()) return *chunk;
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_) return unexpected(helper_error(ErrorCode::kXzInvalid, *failure_));
  return std::span<const uint8_t>();
}

std::string DecodedImageSource::digest() { return hash_ ? sha_.finish_hex() : std::string(); }

}  // namespace dh
