// Fakes shared by the raw-disk tests: scripted volumes and in-memory targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/volumes.h"

namespace dh::test {

using Bytes = std::vector<uint8_t>;

// VOLUME_DISK_EXTENTS bytes with one extent per disk number.
inline Bytes volume_extents(const std::vector<uint32_t>& disks) {
  Bytes b(8 + 24 * disks.size(), 0);
  uint32_t count = static_cast<uint32_t>(disks.size());
  std::memcpy(b.data(), &count, 4);
  for (size_t i = 0; i < disks.size(); ++i) {
    std::memcpy(b.data() + 8 + 24 * i, &disks[i], 4);
    uint64_t length = 1u << 20;
    std::memcpy(b.data() + 8 + 24 * i + 16, &length, 8);
  }
  return b;
}

// One scripted volume. Error codes are Win32-style numbers; 0 is success.
struct FakeVolumeSetup {
  std::string name;  // as enumerated, with its trailing backslash
  Bytes extents;
  int extents_error = 0;
  int open_read_error = 0;
  int open_write_error = 0;
  std::vector<int> lock_results;  // one per attempt; then lock_default
  int lock_default = 0;
  std::vector<int> dismount_results;  // one per call; then dismount_default
  int dismount_default = 0;
  bool system = false;  // holds the running system (system_volume_paths)
};

class FakeVolumes final : public VolumeSystem {
 public:
  // A deque, so that references from add() stay valid.
  std::deque<FakeVolumeSetup> volumes;
  // "list", "open-r <path>", "open-rw <path>", "lock <name>", "dismount
  // <name>", "close <name>" in call order; system_volume_paths logs nothing.
  std::vector<std::string> log;
  int open_handles = 0;

  FakeVolumeSetup& add(const std::string& name, const std::vector<uint32_t>& disks) {
    FakeVolumeSetup& setup = volumes.emplace_back();
    setup.name = name;
    setup.extents = volume_extents(disks);
    return setup;
  }

  std::vector<std::string> list_volume_names() override {
    log.push_back("list");
    std::vector<std::string> names;
    for (const auto& v : volumes) names.push_back(v.name);
    return names;
  }

  std::vector<std::string> system_volume_paths() override {
    std::vector<std::string> paths;
    for (const auto& v : volumes) {
      if (v.system) paths.push_back(trimmed(v.name));
    }
    return paths;
  }

  SysResult<VolumePtr> open_volume(const std::string& path, bool read_write) override {
    log.push_back((read_write ? "open-rw " : "open-r ") + path);
    for (auto& setup : volumes) {
      if (trimmed(setup.name) != path) continue;
      int error = read_write ? setup.open_write_error : setup.open_read_error;
      if (error != 0) return unexpected(SysError::from_os(error));
      return VolumePtr(std::make_unique<Handle>(*this, setup));
    }
    return unexpected(SysError::from_os(2));
  }

 private:
  static std::string trimmed(std::string name) {
    while (!name.empty() && name.back() == '\\') name.pop_back();
    return name;
  }

  class Handle final : public Volume {
   public:
    Handle(FakeVolumes& owner, FakeVolumeSetup& setup) : owner_(owner), setup_(setup) { ++owner_.open_handles; }
    ~Handle() override {
      --owner_.open_handles;
      owner_.log.push_back("close " + setup_.name);
    }
    SysResult<Bytes> disk_extents() override {
      if (setup_.extents_error != 0) return unexpected(SysError::from_os(setup_.extents_error));
      return setup_.extents;
    }
    SysStatus lock() override {
      owner_.log.push_back("lock " + setup_.name);
      return next(setup_.lock_results, locks_, setup_.lock_default);
    }
    SysStatus dismount() override {
      owner_.log.push_back("dismount " + setup_.name);
      return next(setup_.dismount_results, dismounts_, setup_.dismount_default);
    }

   private:
    static SysStatus next(const std::vector<int>& results, size_t& i, int fallback) {
      int code = i < results.size() ? results[i] : fallback;
      ++i;
      if (code != 0) return unexpected(SysError::from_os(code));
      return {};
    }
    FakeVolumes& owner_;
    FakeVolumeSetup& setup_;
    size_t locks_ = 0;
    size_t dismounts_ = 0;
  };
};

// An in-memory target. Reads hand back at most `chunk` bytes each; a read
// or seek can be made to fail with an OS error code.
class MemoryFile final : public File {
 public:
  explicit MemoryFile(Bytes data, size_t chunk = SIZE_MAX) : data_(std::move(data)), chunk_(chunk) {}
  Bytes data_;
  size_t chunk_;
  uint64_t pos_ = 0;
  int read_error = 0;  // fails every read once set
  int seek_error = 0;
  int calls = 0;

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    ++calls;
    if (read_error != 0) return unexpected(SysError::from_os(read_error));
    if (pos_ >= data_.size()) return size_t{0};
    size_t n = std::min({len, chunk_, static_cast<size_t>(data_.size() - pos_)});
    std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  SysResult<size_t> write(const uint8_t*, size_t) override {
    ++calls;
    return unexpected(SysError::from_os(5));
  }
  SysStatus seek(uint64_t offset) override {
    ++calls;
    if (seek_error != 0) return unexpected(SysError::from_os(seek_error));
    pos_ = offset;
    return {};
  }
  SysStatus flush() override {
    ++calls;
    return {};
  }
};

}  // namespace dh::test
