// Locking and dismounting every volume of a target drive before raw I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/volumes.h"
#include "protocol/helper_error.h"

namespace dh {

// The locked, dismounted volume handles of one target, in enumeration order.
// Destroying the set closes every handle, which releases the locks.
class VolumeLockSet {
 public:
  VolumeLockSet() = default;
  VolumeLockSet(VolumeLockSet&&) = default;
  VolumeLockSet& operator=(VolumeLockSet&&) = default;

  void add(VolumePtr volume) { volumes_.push_back(std::move(volume)); }
  size_t size() const { return volumes_.size(); }
  bool empty() const { return volumes_.empty(); }
  // Closes every handle now (what destruction does).
  void release() { volumes_.clear(); }

 private:
  std::vector<VolumePtr> volumes_;
};

// The DiskNumber of every extent in VOLUME_DISK_EXTENTS bytes, in order. An
// extent counts while its index is below NumberOfDiskExtents and its
// DiskNumber lies within the returned bytes.
std::vector<uint32_t> extent_disks(const std::vector<uint8_t>& extents);
// True when any extent (as above) lies on `disk`.
bool extents_on_disk(const std::vector<uint8_t>& extents, uint32_t disk);

// FSCTL_LOCK_VOLUME, retried every 150 ms while it fails with access denied
// or sharing violation, until more than 2 whole seconds have passed.
SysStatus lock_volume(Volume& volume, Clock& clock);

// Locks and dismounts every volume on `disk`. On failure every handle taken
// so far is closed; the error keeps the failed call's OS code, and its
// message says which volume and why.
Expected<VolumeLockSet, SysError> lock_and_dismount_volumes(uint32_t disk, Clock& clock = system_clock());

// Dismounts every volume on `disk` without keeping locks; problems become
// warnings, in volume order. No handle stays open.
std::vector<std::string> dismount_volumes_for_detach(uint32_t disk, Clock& clock = system_clock());

}  // namespace dh
