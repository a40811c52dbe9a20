#include "platform/buffered_io.h"

#include <algorithm>
#include <cstring>

namespace dh {

BufferedReader::BufferedReader(File& file, size_t capacity)
    : file_(file), buffer_(new uint8_t[capacity]), capacity_(capacity) {}

SysResult<size_t> BufferedReader::read(uint8_t* out, size_t len) {
  if (pos_ == filled_ && len >= capacity_) {
    pos_ = filled_ = 0;
    return file_.read(out, len);
  }
  if (pos_ == filled_) {
    auto got = file_.read(buffer_.get(), capacity_);
    if (!got) return unexpected(std::move(got).error());
    pos_ = 0;
    filled_ = *got;
  }
  size_t n = std::min(len, filled_ - pos_);
  if (n > 0) std::memcpy(out, buffer_.get() + pos_, n);
  pos_ += n;
  return n;
}

BufferedWriter::BufferedWriter(File& file, size_t capacity)
    : file_(file), buffer_(new uint8_t[capacity]), capacity_(capacity) {}

SysStatus BufferedWriter::flush_buffer() {
  size_t done = 0;
  while (done < staged_) {
    auto wrote = file_.write(buffer_.get() + done, staged_ - done);
    if (!wrote) {
      // Keep what was not written so a caller sees the failure once.
      std::memmove(buffer_.get(), buffer_.get() + done, staged_ - done);
      staged_ -= done;
      return unexpected(std::move(wrote).error());
    }
    if (*wrote == 0) {
      std::memmove(buffer_.get(), buffer_.get() + done, staged_ - done);
      staged_ -= done;
      return unexpected(SysError::fixed(kBufferedZeroWriteText));
    }
    done += *wrote;
  }
  staged_ = 0;
  return {};
}

SysStatus BufferedWriter::write(const uint8_t* data, size_t len) {
  if (staged_ + len > capacity_) {
    if (auto flushed = flush_buffer(); !flushed) return flushed;
  }
  if (len >= capacity_) return write_all(file_, data, len);
  std::memcpy(buffer_.get() + staged_, data, len);
  staged_ += len;
  return {};
}

void BufferedWriter::release() {
  buffer_.reset();
  capacity_ = 0;
  staged_ = 0;
}

}  // namespace dh
