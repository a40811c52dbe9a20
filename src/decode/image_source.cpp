#include "decode/image_source.h"

#include <algorithm>
#include <cstring>

namespace dh {

Expected<size_t, HelperError> SourceReader::read(uint8_t* out, size_t len) {
  size_t copied = 0;
  while (copied < len) {
    if (rest_.empty()) {
      auto chunk = source_.next();
      DH_TRY(chunk);
      if (chunk->empty()) break;
      rest_ = *chunk;
    }
    size_t n = std::min(len - copied, rest_.size());
    std::memcpy(out + copied, rest_.data(), n);
    rest_ = rest_.subspan(n);
    copied += n;
  }
  return copied;
}

PlainImageSource::PlainImageSource(File& image, ErrorCode read_error_code, std::optional<uint64_t> limit, bool hash)
    : image_(image), code_(read_error_code), limit_(limit), hash_(hash), pipe_(kPipeBuffers, kIoBufferSize) {
  threaded_ = pipe_.start([this] {
    while (fill_one()) {
    }
    pipe_.close();
  });
}

PlainImageSource::~PlainImageSource() {
  pipe_.stop();
  pipe_.join();
}

bool PlainImageSource::fill_one() {
  if (limit_ && read_ >= *limit_) return false;
  uint8_t* buffer = pipe_.acquire();
  if (buffer == nullptr) return false;
  const size_t want = limit_ ? static_cast<size_t>(std::min<uint64_t>(*limit_ - read_, kIoBufferSize)) : kIoBufferSize;
  size_t got = 0;
  while (got < want) {
    auto n = image_.read(buffer + got, want - got);
    if (!n) {
      failure_ = helper_error(code_, n.error());
      break;
    }
    if (*n == 0) break;
    got += *n;
  }
  // What was read before a failure is handed out first, as far as it goes.
  if (got > 0) {
    if (hash_) sha_.update(buffer, got);
    read_ += got;
    pipe_.push(got);
  }
  return !failure_ && got == want;
}

Expected<std::span<const uint8_t>, HelperError> PlainImageSource::next() {
  if (!threaded_ && !filled_all_ && !fill_one()) {
    filled_all_ = true;
    pipe_.close();
  }
  if (auto chunk = pipe_.next()) return *chunk;
  // The pipe is closed and drained: the filling side is done with its state.
  if (failure_) return unexpected(*failure_);
  return std::span<const uint8_t>();
}

std::string PlainImageSource::digest() { return hash_ ? sha_.finish_hex() : std::string(); }

}  // namespace dh
