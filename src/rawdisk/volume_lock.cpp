#include "rawdisk/volume_lock.h"

#include <algorithm>

#include "formats/little_endian.h"

namespace dh {
namespace {

constexpr const char* kCloseAdvice = "Close File Explorer windows and other programs using this target";

std::string volume_path(const std::string& name) {
  std::string path = name;
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

// A busy lock is retried for this long: Explorer, an antivirus scan or the
// indexer can hold a freshly inserted card's volume for several seconds.
constexpr std::chrono::seconds kLockPatience{14};
constexpr std::chrono::milliseconds kLockRetryInterval{150};

bool is_busy(const SysError& e) {
  return e.kind() == SysErrorKind::kAccessDenied || e.kind() == SysErrorKind::kSharingViolation;
}

// The disks of the volume's extents, through a query open that is closed
// again; empty when it cannot be opened or asked.
std::vector<uint32_t> volume_disks(const std::string& name) {
  auto probe = volume_system().open_volume(volume_path(name), VolumeAccess::kQuery);
  if (!probe) return {};
  auto extents = (*probe)->disk_extents();
  if (!extents) return {};
  return extent_disks(*extents);
}

}  // namespace

void VolumeLockSet::add(VolumePtr volume, std::string name, bool locked) {
  volumes_.push_back(Held{std::move(volume), std::move(name), locked});
}

std::vector<std::string> VolumeLockSet::unlocked() const {
  std::vector<std::string> names;
  for (const Held& held : volumes_) {
    if (!held.locked) names.push_back(held.name);
  }
  return names;
}

bool volume_lies_on_disk(const std::string& name, uint32_t disk) {
  auto disks = volume_disks(name);
  return std::find(disks.begin(), disks.end(), disk) != disks.end();
}

std::vector<uint32_t> extent_disks(const std::vector<uint8_t>& extents) {
  std::vector<uint32_t> disks;
  if (extents.size() < 4) return disks;
  uint32_t count = le_u32(extents, 0);
  for (uint64_t i = 0; i < count; ++i) {
    if (24 * i + 12 > extents.size()) break;
    disks.push_back(le_u32(extents, static_cast<size_t>(8 + 24 * i)));
  }
  return disks;
}

bool extents_on_disk(const std::vector<uint8_t>& extents, uint32_t disk) {
  auto disks = extent_disks(extents);
  return std::find(disks.begin(), disks.end(), disk) != disks.end();
}

SysStatus lock_volume(Volume& volume, Clock& clock) {
  auto start = clock.now();
  for (;;) {
    auto locked = volume.lock();
    if (locked) return locked;
    if (!is_busy(locked.error())) return locked;
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(clock.now() - start);
    if (elapsed > kLockPatience) return locked;
    clock.sleep(kLockRetryInterval);
  }
}

Expected<VolumeLockSet, SysError> lock_and_dismount_volumes(uint32_t disk, Clock& clock) {
  VolumeLockSet set;
  for (const std::string& name : volume_system().list_volume_names()) {
    auto disks = volume_disks(name);
    if (std::find(disks.begin(), disks.end(), disk) == disks.end()) continue;
    // A volume spanned over this disk and another loses its data on both
    // when this disk is overwritten; it is left alone and the command fails.
    auto other = std::find_if(disks.begin(), disks.end(), [disk](uint32_t d) { return d != disk; });
    if (other != disks.end()) {
      return unexpected(SysError::fixed("Unable to lock mounted volume " + name + ": it also lies on disk " +
                                        std::to_string(*other) + ", and writing this target would damage it."));
    }
    auto opened = volume_system().open_volume(volume_path(name), VolumeAccess::kReadWrite);
    if (!opened)
      return unexpected(
          SysError{opened.error().code, "Unable to open mounted volume " + name + ": " + opened.error().message});
    VolumePtr volume = std::move(opened).value();
    auto locked = lock_volume(*volume, clock);
    bool held_locked = true;
    if (locked) {
      if (auto dismounted = volume->dismount(); !dismounted) {
        return unexpected(SysError{dismounted.error().code,
                                   "Unable to dismount mounted volume " + name + ": " + dismounted.error().message});
      }
    } else if (is_busy(locked.error())) {
      auto forced = volume->dismount();
      if (!forced) {
        return unexpected(SysError{forced.error().code, "Unable to lock or force-dismount mounted volume " + name +
                                                            ": lock failed with " + locked.error().message +
                                                            "; force dismount failed with " + forced.error().message +
                                                            ". " + kCloseAdvice + ", then try again."});
      }
      // Once the file system is gone the lock usually follows. When it does
      // not, the volume is kept as dismounted only, for the caller to decide.
      held_locked = lock_volume(*volume, clock).has_value();
    } else {
      return unexpected(SysError{locked.error().code, "Unable to lock mounted volume " + name + ": " +
                                                          locked.error().message + ". " + kCloseAdvice +
                                                          ", then try again."});
    }
    set.add(std::move(volume), name, held_locked);
  }
  return set;
}

std::vector<std::string> dismount_volumes_for_detach(uint32_t disk, Clock& clock) {
  std::vector<std::string> warnings;
  for (const std::string& name : volume_system().list_volume_names()) {
    if (!volume_lies_on_disk(name, disk)) continue;
    auto opened = volume_system().open_volume(volume_path(name), VolumeAccess::kReadWrite);
    if (!opened) {
      warnings.push_back("Could not open mounted volume " + name + " for dismount.");
      continue;
    }
    Volume& volume = **opened;
    if (volume.dismount()) continue;
    auto locked = lock_volume(volume, clock);
    if ((locked || is_busy(locked.error())) && volume.dismount()) continue;
    warnings.push_back("Could not dismount mounted volume " + name + ". " + kCloseAdvice + ", then remove it.");
  }
  return warnings;
}

}  // namespace dh
