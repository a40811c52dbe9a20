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
    DH_TRY(got);
    pos_ = 0;
    filled_ = *got;
  }
  size_t n = std::min(len, filled_ - pos_);
  if (n > 0) std::memcpy(out, buffer_.get() + pos_, n);
  pos_ += n;
  return n;
}

AlignedReader::AlignedReader(File& file, const FileKind& kind)
    : file_(file), unit_(transfer_unit(kind)), length_(kind.device ? kind.length : std::nullopt) {
  if (unit_ > 1) sector_.resize(unit_);
}

SysStatus AlignedReader::seek(uint64_t offset) {
  uint64_t start = offset - offset % unit_;
  if (auto sought = file_.seek(start); !sought) return sought;
  position_ = start;
  skip_ = static_cast<size_t>(offset - start);
  sector_pos_ = sector_end_ = 0;
  return {};
}

SysResult<size_t> AlignedReader::read(uint8_t* out, size_t len) {
  if (unit_ == 1) return file_.read(out, len);
  if (len == 0) return size_t{0};
  if (sector_pos_ < sector_end_) {
    size_t n = std::min(len, sector_end_ - sector_pos_);
    std::memcpy(out, sector_.data() + sector_pos_, n);
    sector_pos_ += n;
    return n;
  }
  uint64_t left = UINT64_MAX;
  if (length_) left = *length_ > position_ ? *length_ - position_ : 0;
  if (left == 0) return size_t{0};
  if (skip_ == 0) {
    uint64_t whole = std::min<uint64_t>(len - len % unit_, left - left % unit_);
    if (whole > 0) {
      auto got = file_.read(out, static_cast<size_t>(whole));
      if (got) position_ += *got;
      return got;
    }
  }
  // The bytes asked for start or end inside a sector: read that sector whole
  // (only a device that ends inside a sector gives less).
  auto got = file_.read(sector_.data(), static_cast<size_t>(std::min<uint64_t>(unit_, left)));
  if (!got) return got;
  position_ += *got;
  sector_pos_ = std::min(skip_, *got);
  sector_end_ = *got;
  skip_ = 0;
  if (sector_pos_ == sector_end_) return size_t{0};
  return read(out, len);
}

SysResult<size_t> AlignedReader::read_full(uint8_t* out, size_t len) {
  size_t done = 0;
  while (done < len) {
    auto got = read(out + done, len - done);
    if (!got) return got;
    if (*got == 0) break;
    done += *got;
  }
  return done;
}

// The capacity is kept a whole number of units, so that a padded last unit
// always fits.
BufferedWriter::BufferedWriter(File& file, size_t capacity, size_t unit)
    : file_(file),
      capacity_((capacity + std::max<size_t>(unit, 1) - 1) / std::max<size_t>(unit, 1) * std::max<size_t>(unit, 1)),
      unit_(std::max<size_t>(unit, 1)) {
  buffer_.reset(new uint8_t[capacity_]);
}

SysStatus BufferedWriter::write_staged(size_t count) {
  if (staged_ == 0) return {};
  size_t done = 0;
  while (done < count) {
    auto wrote = file_.write(buffer_.get() + done, count - done);
    if (!wrote || *wrote == 0) {
      // Keep what was not written so a caller sees the failure once.
      std::memmove(buffer_.get(), buffer_.get() + done, staged_ - done);
      staged_ -= done;
      DH_TRY(wrote);
      return unexpected(SysError::fixed(kBufferedZeroWriteText));
    }
    done += *wrote;
  }
  std::memmove(buffer_.get(), buffer_.get() + count, staged_ - count);
  staged_ -= count;
  return {};
}

SysStatus BufferedWriter::flush_buffer() {
  size_t padded = (staged_ + unit_ - 1) / unit_ * unit_;
  if (padded > staged_) std::memset(buffer_.get() + staged_, 0, padded - staged_);
  staged_ = padded;
  return write_staged(staged_);
}

SysStatus BufferedWriter::write(const uint8_t* data, size_t len) {
  if (staged_ + len > capacity_) {
    if (auto flushed = write_staged(staged_ - staged_ % unit_); !flushed) return flushed;
    if (staged_ > 0) {
      // A partial unit is left: complete it from the new bytes (there are
      // enough, as they did not fit behind the staged ones).
      size_t n = unit_ - staged_;
      std::memcpy(buffer_.get() + staged_, data, n);
      staged_ += n;
      data += n;
      len -= n;
      if (auto flushed = write_staged(staged_); !flushed) return flushed;
    }
  }
  if (len >= capacity_) {
    size_t whole = len - len % unit_;
    if (auto wrote = write_all(file_, data, whole); !wrote) return wrote;
    data += whole;
    len -= whole;
  }
  if (len > 0) std::memcpy(buffer_.get() + staged_, data, len);
  staged_ += len;
  // A full buffer goes out at once, so that what was handed over in pieces
  // is written as soon as it makes a whole buffer, as a whole chunk is.
  if (staged_ == capacity_) return write_staged(staged_);
  return {};
}

}  // namespace dh
