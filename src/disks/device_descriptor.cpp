#include "disks/device_descriptor.h"

#include <algorithm>
#include <string_view>

#include "base/text.h"
#include "formats/little_endian.h"
#include "platform/physical_drive.h"

namespace dh {
namespace {

// Byte offsets in STORAGE_DEVICE_DESCRIPTOR.
constexpr size_t kSizeAt = 4;
constexpr size_t kRemovableMediaAt = 10;
constexpr size_t kVendorIdOffsetAt = 12;
constexpr size_t kProductIdOffsetAt = 16;
constexpr size_t kSerialNumberOffsetAt = 24;
constexpr size_t kBusTypeAt = 28;

constexpr uint64_t kDiskAttributeReadOnly = 0x2;

constexpr std::string_view kCardKeywords[] = {"microsd",     "micro sd",   "sdhc",        "sdxc", "sd card",
                                              "card reader", "cardreader", "memory card", "mmc",  "tf card"};

}  // namespace

std::optional<std::string> read_descriptor_string(const std::vector<uint8_t>& bytes, size_t extent, uint32_t offset) {
  extent = std::min(extent, bytes.size());
  if (offset == 0 || offset >= extent) return std::nullopt;
  const uint8_t* begin = bytes.data() + offset;
  const uint8_t* end = std::find(begin, bytes.data() + extent, uint8_t{0});
  std::string text = utf8_lossy(std::string_view(reinterpret_cast<const char*>(begin), end - begin));
  std::string trimmed(trim_unicode(text));
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

DeviceDescriptor parse_device_descriptor(const std::vector<uint8_t>& returned) {
  std::vector<uint8_t> buffer(kDeviceDescriptorBufferSize, 0);
  std::copy_n(returned.begin(), std::min(returned.size(), buffer.size()), buffer.begin());
  const uint8_t* b = buffer.data();
  uint32_t size = le_u32(buffer, kSizeAt);

  DeviceDescriptor d;
  uint32_t vendor_at = 0, product_at = 0, serial_at = 0;
  if (size >= 11) d.removable_media = b[kRemovableMediaAt] != 0;
  if (size >= 16) vendor_at = le_u32(buffer, kVendorIdOffsetAt);
  if (size >= 20) product_at = le_u32(buffer, kProductIdOffsetAt);
  if (size >= 28) serial_at = le_u32(buffer, kSerialNumberOffsetAt);
  if (size >= 32) d.bus_type = le_u32(buffer, kBusTypeAt);

  size_t extent = std::min<size_t>(size, kDeviceDescriptorBufferSize);
  d.vendor = read_descriptor_string(buffer, extent, vendor_at);
  d.product = read_descriptor_string(buffer, extent, product_at);
  d.serial = read_descriptor_string(buffer, extent, serial_at);
  return d;
}

std::string bus_label(uint32_t bus_type) {
  switch (bus_type) {
    case kBusScsi: return "SCSI";
    case kBusAta: return "ATA";
    case kBusUsb: return "USB";
    case kBusSata: return "SATA";
    case kBusSd: return "SD";
    case kBusMmc: return "MMC";
    case kBusNvme: return "NVMe";
    default: return "Unknown";
  }
}

bool is_eligible_drive(const DeviceDescriptor& d) {
  return d.removable_media || d.bus_type == kBusUsb || d.bus_type == kBusSd || d.bus_type == kBusMmc;
}

bool attributes_read_only(const std::vector<uint8_t>& attributes) {
  if (attributes.size() < 16) return false;
  return (le_u64(attributes, 8) & kDiskAttributeReadOnly) != 0;
}

std::string device_target_type(const DeviceDescriptor& d) {
  if (d.bus_type == kBusSd || d.bus_type == kBusMmc) return "memory-card";
  std::string text = ascii_lower(d.vendor.value_or("") + " " + d.product.value_or(""));
  for (std::string_view keyword : kCardKeywords) {
    if (text.find(keyword) != std::string::npos) return "memory-card";
  }
  return d.bus_type == kBusUsb ? "usb-drive" : "removable-drive";
}

std::string device_model(const std::optional<std::string>& vendor, const std::optional<std::string>& product) {
  if (!vendor && !product) return "Removable storage";
  if (!vendor) return *product;
  if (!product) return *vendor;
  if (product->find(*vendor) != std::string::npos) return *product;
  return *vendor + " " + *product;
}

}  // namespace dh
