// Locking and dismounting every volume of a target drive before raw I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/volumes.h"
#include "protocol/helper_error.h"

namespace dh {

// The dismounted volume handles of one target, in enumeration order, each
// locked unless its lock stayed busy after a forced dismount. Destroying the
// set closes every handle, which releases the locks.
class VolumeLockSet {
 public:
  VolumeLockSet() = default;
  VolumeLockSet(VolumeLockSet&&) = default;
  VolumeLockSet& operator=(VolumeLockSet&&) = default;

  // Holds `volume`, enumerated as `name` (with its trailing backslash);
  // `locked` is false for a volume that is only dismounted.
  void add(VolumePtr volume, std::string name, bool locked);
  size_t size() const { return volumes_.size(); }
  bool empty() const { return volumes_.empty(); }
  // The names of the volumes held without a lock, in enumeration order.
  // Nothing keeps Windows from mounting such a volume again, so raw writes
  // must not go ahead while one of them still lies on the disk.
  std::vector<std::string> unlocked() const;
  // Closes every handle now (what destruction does).
  void release() { volumes_.clear(); }

 private:
  struct Held {
    VolumePtr volume;
    std::string name;
    bool locked = false;
  };
  std::vector<Held> volumes_;
};

// The DiskNumber of every extent in VOLUME_DISK_EXTENTS bytes, in order. An
// extent counts while its index is below NumberOfDiskExtents and its
// DiskNumber lies within the returned bytes.
std::vector<uint32_t> extent_disks(const std::vector<uint8_t>& extents);
// True when any extent (as above) lies on `disk`.
bool extents_on_disk(const std::vector<uint8_t>& extents, uint32_t disk);

// Whether the volume enumerated as `name` (with or without its trailing
// backslash) lies on `disk`, asked through a query open
// (VolumeAccess::kQuery) that is closed again. False when the volume cannot
// be opened or does not answer its extents, so a volume that is gone counts
// as not on the disk.
bool volume_lies_on_disk(const std::string& name, uint32_t disk);

// FSCTL_LOCK_VOLUME, retried every 150 ms while it fails with access denied
// or sharing violation, until more than 14 whole seconds have passed; then
// the last error. Any other error is returned at once.
SysStatus lock_volume(Volume& volume, Clock& clock);

// Locks and dismounts every volume on `disk`. A volume whose lock stays busy
// is dismounted by force and its lock tried again; when that still fails it
// is held unlocked (VolumeLockSet::unlocked). A volume that also lies on
// another disk is refused untouched ("Unable to lock mounted volume <name>:
// it also lies on disk <M>, and writing this target would damage it.").
// On failure every handle taken so far is closed; the error keeps the failed
// call's OS code (0 for the refusal), and its message says which volume and
// why.
Expected<VolumeLockSet, SysError> lock_and_dismount_volumes(uint32_t disk, Clock& clock = system_clock());

// Dismounts every volume on `disk` without keeping locks; problems become
// warnings, in volume order. No handle stays open.
std::vector<std::string> dismount_volumes_for_detach(uint32_t disk, Clock& clock = system_clock());

}  // namespace dh
