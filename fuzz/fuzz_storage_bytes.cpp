// libFuzzer target: the bytes that device-control queries return, read as a
// STORAGE_DEVICE_DESCRIPTOR (and the listing's decisions from it), as a disk
// attributes answer and as VOLUME_DISK_EXTENTS.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "disks/device_descriptor.h"
#include "rawdisk/volume_lock.h"

namespace {

uint32_t u32_at(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

bool same(const dh::DeviceDescriptor& a, const dh::DeviceDescriptor& b) {
  return a.removable_media == b.removable_media && a.bus_type == b.bus_type && a.vendor == b.vendor &&
         a.product == b.product && a.serial == b.serial;
}

void check_text(const std::optional<std::string>& text) {
  if (!text) return;
  if (text->empty() || !dh::is_valid_utf8(*text) || dh::trim_unicode(*text) != *text) std::abort();
  if (text->find('\0') != std::string::npos) std::abort();
}

void check_descriptor(const std::vector<uint8_t>& bytes) {
  dh::DeviceDescriptor d = dh::parse_device_descriptor(bytes);
  check_text(d.vendor);
  check_text(d.product);
  check_text(d.serial);

  // Bytes that did not come back read as zeros, and nothing past the
  // descriptor's own Size (capped at 1024) is read.
  std::vector<uint8_t> padded(bytes);
  padded.resize(std::max<size_t>(padded.size(), 1024), 0);
  if (!same(dh::parse_device_descriptor(padded), d)) std::abort();
  uint32_t size = bytes.size() >= 8 ? u32_at(bytes, 4) : 0;
  size_t extent = std::min<size_t>({size, 1024, bytes.size()});
  if (extent >= 8) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(extent));
    if (!same(dh::parse_device_descriptor(cut), d)) std::abort();
  }

  std::string type = dh::device_target_type(d);
  if (type != "memory-card" && type != "usb-drive" && type != "removable-drive") std::abort();
  if (dh::bus_label(d.bus_type).empty() || dh::device_model(d.vendor, d.product).empty()) std::abort();
  bool card_bus = d.bus_type == dh::kBusSd || d.bus_type == dh::kBusMmc;
  if (card_bus && (type != "memory-card" || !dh::is_eligible_drive(d))) std::abort();
}

void check_attributes(const std::vector<uint8_t>& bytes) {
  bool read_only = dh::attributes_read_only(bytes);
  if (read_only != (bytes.size() >= 16 && (bytes[8] & 0x2) != 0)) std::abort();
}

// DISK_EXTENT records are 24 bytes from offset 8, DiskNumber first; one is
// considered while its index is below the count and its DiskNumber is inside
// the returned bytes.
void check_extents(const std::vector<uint8_t>& bytes) {
  std::set<uint32_t> disks;
  if (bytes.size() >= 4) {
    uint64_t count = u32_at(bytes, 0);
    for (uint64_t i = 0; i < count && 8 + 24 * i + 4 <= bytes.size(); ++i) {
      disks.insert(u32_at(bytes, static_cast<size_t>(8 + 24 * i)));
    }
  }
  for (uint32_t disk : disks) {
    if (!dh::extents_on_disk(bytes, disk)) std::abort();
  }
  for (uint32_t disk : {0U, 1U, 0xFFFFFFFFU}) {
    if (dh::extents_on_disk(bytes, disk) != (disks.count(disk) != 0)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  check_descriptor(bytes);
  check_attributes(bytes);
  check_extents(bytes);
  return 0;
}
