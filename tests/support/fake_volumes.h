// Scripted volumes for the tests: each volume answers its extents, lock and
// dismount as a test arranged, and every call is logged. As on Windows, a
// lock is held by the handle that took it and ends when that handle closes,
// so the log's "close" is where a volume is released.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/volumes.h"
#include "support/bytes.h"

namespace dh::test {

// VOLUME_DISK_EXTENTS bytes with one extent per disk number.
inline ByteVector volume_extents(const std::vector<uint32_t>& disks) {
  ByteVector b(8 + 24 * disks.size(), 0);
  put_u32(b, 0, static_cast<uint32_t>(disks.size()));
  for (size_t i = 0; i < disks.size(); ++i) {
    put_u32(b, 8 + 24 * i, disks[i]);
    put_u64(b, 8 + 24 * i + 16, uint64_t{1} << 20);
  }
  return b;
}

// One scripted volume. Error codes are Win32-style numbers; 0 is success.
struct FakeVolumeSetup {
  std::string name;  // as enumerated, with its trailing backslash
  ByteVector extents;
  int extents_error = 0;
  // The query open (VolumeAccess::kQuery) asks for no access right, which
  // Windows grants where reading would be refused (CreateFileW: "If this
  // parameter is zero, the application can query certain metadata such as
  // file, directory, or device attributes without accessing that file or
  // device, even if GENERIC_READ access would have been denied."), so it
  // fails only for a volume that cannot be opened at all; the read/write
  // open also needs the right to read and write the volume.
  int open_query_error = 0;
  int open_write_error = 0;
  std::vector<int> lock_results;  // one per attempt; then lock_default
  int lock_default = 0;
  std::vector<int> dismount_results;  // one per call; then dismount_default
  int dismount_default = 0;
  bool system = false;  // holds the running system (system_volume_paths)
  // What the volume is now, for the doubles that model the system around a
  // raw drive (PartitionManager): a volume that is no longer present (its
  // partition went away) is neither listed nor opened (ERROR_FILE_NOT_FOUND);
  // a successful dismount leaves it unmounted; locks_held counts the handles
  // holding its lock.
  bool present = true;
  enum class Mount { kNone, kRaw, kFat };
  Mount mounted = Mount::kFat;
  int locks_held = 0;
};

class FakeVolumes final : public VolumeSystem {
 public:
  // A deque, so that references from add() stay valid.
  std::deque<FakeVolumeSetup> volumes;
  // "list", "open-r <path>" (the query open), "open-rw <path>", "lock
  // <name>", "dismount <name>", "close <name>" in call order;
  // system_volume_paths logs nothing.
  std::vector<std::string> log;
  // When set, every log entry goes here too: one timeline with another
  // fake's events (FaultFileSystem::events), to see locks and drive opens in
  // the order they happened.
  std::vector<std::string>* timeline = nullptr;
  // What the timeline gets: every log entry, or only how long each lock is
  // held: "lock <name>" when a lock succeeds and "release <name>" when the
  // handle that holds it closes, as Windows keeps FSCTL_LOCK_VOLUME until the
  // locking handle is closed.
  enum class Timeline { kEveryCall, kHeldLocks };
  Timeline timeline_entries = Timeline::kEveryCall;
  // Error texts by code, as Windows words them ("Access is denied."); codes
  // without one carry the host's text (os_error_text).
  std::map<int, std::string> messages;
  int open_handles = 0;

  FakeVolumeSetup& add(const std::string& name, const std::vector<uint32_t>& disks) {
    FakeVolumeSetup& setup = volumes.emplace_back();
    setup.name = name;
    setup.extents = volume_extents(disks);
    return setup;
  }

  std::vector<std::string> list_volume_names() override {
    note("list");
    std::vector<std::string> names;
    for (const auto& v : volumes) {
      if (v.present) names.push_back(v.name);
    }
    return names;
  }

  std::vector<std::string> system_volume_paths() override {
    std::vector<std::string> paths;
    for (const auto& v : volumes) {
      if (v.system) paths.push_back(trimmed(v.name));
    }
    return paths;
  }

  SysResult<VolumePtr> open_volume(const std::string& path, VolumeAccess access) override {
    const bool read_write = access == VolumeAccess::kReadWrite;
    note((read_write ? "open-rw " : "open-r ") + path);
    for (auto& setup : volumes) {
      if (trimmed(setup.name) != path || !setup.present) continue;
      int error = read_write ? setup.open_write_error : setup.open_query_error;
      if (error != 0) return unexpected(os_error(error));
      return VolumePtr(std::make_unique<Handle>(*this, setup));
    }
    return unexpected(os_error(2));
  }

 private:
  void note(std::string entry) {
    if (timeline != nullptr && timeline_entries == Timeline::kEveryCall) timeline->push_back(entry);
    log.push_back(std::move(entry));
  }
  // A lock taken or given up, for a timeline of held locks only.
  void note_held(const std::string& entry) {
    if (timeline != nullptr && timeline_entries == Timeline::kHeldLocks) timeline->push_back(entry);
  }
  SysError os_error(int code) const {
    auto it = messages.find(code);
    if (it == messages.end()) return SysError::from_os(code);
    return SysError{code, it->second + " (os error " + std::to_string(code) + ")"};
  }
  static std::string trimmed(std::string name) {
    while (!name.empty() && name.back() == '\\') name.pop_back();
    return name;
  }

  class Handle final : public Volume {
   public:
    Handle(FakeVolumes& owner, FakeVolumeSetup& setup) : owner_(owner), setup_(setup) { ++owner_.open_handles; }
    ~Handle() override {
      --owner_.open_handles;
      if (locked_) {
        --setup_.locks_held;
        owner_.note_held("release " + setup_.name);
      }
      owner_.note("close " + setup_.name);
    }
    SysResult<ByteVector> disk_extents() override {
      if (setup_.extents_error != 0) return unexpected(owner_.os_error(setup_.extents_error));
      return setup_.extents;
    }
    SysStatus lock() override {
      owner_.note("lock " + setup_.name);
      SysStatus locked = next(setup_.lock_results, locks_, setup_.lock_default);
      if (locked && !locked_) {
        locked_ = true;
        ++setup_.locks_held;
        owner_.note_held("lock " + setup_.name);
      }
      return locked;
    }
    SysStatus dismount() override {
      owner_.note("dismount " + setup_.name);
      SysStatus dismounted = next(setup_.dismount_results, dismounts_, setup_.dismount_default);
      if (dismounted) setup_.mounted = FakeVolumeSetup::Mount::kNone;
      return dismounted;
    }

   private:
    SysStatus next(const std::vector<int>& results, size_t& i, int fallback) {
      int code = i < results.size() ? results[i] : fallback;
      ++i;
      if (code != 0) return unexpected(owner_.os_error(code));
      return {};
    }
    FakeVolumes& owner_;
    FakeVolumeSetup& setup_;
    size_t locks_ = 0;
    size_t dismounts_ = 0;
    bool locked_ = false;  // this handle holds the volume's lock
  };
};

}  // namespace dh::test
