// An in-memory disk described by the fuzz input, in one of two forms:
// - flat: the input bytes are the disk from LBA 0;
// - sparse: records of an 8-byte little-endian LBA followed by up to 512
//   bytes of that sector; sectors without a record read as zeros, and the
//   disk ends after the highest recorded sector. This lets a small input
//   place a boot partition at a real card's offsets (LBA 8192 and beyond).
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <span>

#include "platform/file.h"

namespace dh::fuzz {

class SparseDisk final : public File {
 public:
  explicit SparseDisk(std::span<const uint8_t> records) {
    while (records.size() > 8) {
      uint64_t lba = 0;
      for (int i = 7; i >= 0; --i) lba = (lba << 8) | records[i];
      records = records.subspan(8);
      size_t n = std::min<size_t>(512, records.size());
      auto& sector = sectors_[lba];
      std::memcpy(sector.data(), records.data(), n);
      // The disk ends with the highest record; a short last record ends it
      // inside that sector.
      uint64_t end = lba >= (UINT64_MAX - 512) / 512 ? UINT64_MAX : lba * 512 + n;
      size_ = std::max(size_, end);
      records = records.subspan(n);
    }
  }

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    if (position_ >= size_ || len == 0) return size_t{0};
    const uint64_t lba = position_ / 512;
    const size_t in_sector = static_cast<size_t>(position_ % 512);
    size_t n = static_cast<size_t>(std::min<uint64_t>({len, 512 - in_sector, size_ - position_}));
    auto it = sectors_.find(lba);
    if (it == sectors_.end()) {
      std::memset(buf, 0, n);
    } else {
      std::memcpy(buf, it->second.data() + in_sector, n);
    }
    position_ += n;
    return n;
  }
  SysResult<size_t> write(const uint8_t*, size_t) override { return unexpected(SysError::fixed("read-only")); }
  SysStatus seek(uint64_t offset) override {
    position_ = offset;
    return {};
  }
  SysStatus flush() override { return {}; }

 private:
  std::map<uint64_t, std::array<uint8_t, 512>> sectors_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

}  // namespace dh::fuzz
