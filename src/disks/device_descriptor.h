// Reading a STORAGE_DEVICE_DESCRIPTOR as bytes and the decisions the disk
// listing makes from it: bus label, target type, model text, eligibility.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dh {

// STORAGE_BUS_TYPE values the listing tells apart.
inline constexpr uint32_t kBusScsi = 1;
inline constexpr uint32_t kBusAta = 3;
inline constexpr uint32_t kBusUsb = 7;
inline constexpr uint32_t kBusSata = 11;
inline constexpr uint32_t kBusSd = 12;
inline constexpr uint32_t kBusMmc = 13;
inline constexpr uint32_t kBusNvme = 17;

// The fields of a device descriptor the listing uses. Texts are trimmed and
// never empty; a missing one is nullopt.
struct DeviceDescriptor {
  bool removable_media = false;
  uint32_t bus_type = 0;
  std::optional<std::string> vendor;
  std::optional<std::string> product;
  std::optional<std::string> serial;
};

// Reads a descriptor from the bytes the property query returned. Fields are
// read by the descriptor's own Size field, not by how many bytes came back:
// a field lies beyond a Size too small to hold it reads as zero; bytes past
// the returned count read as zero (the query's buffer starts zeroed). String
// offsets are resolved within Size capped at 1024.
DeviceDescriptor parse_device_descriptor(const std::vector<uint8_t>& returned);

// The zero-terminated text at `offset`, ending at `extent` at the latest,
// decoded as UTF-8 (invalid sequences replaced) and trimmed. Nothing for
// offset 0, an offset not below `extent`, or text that trims to empty.
// `extent` is clamped to the size of `bytes`.
std::optional<std::string> read_descriptor_string(const std::vector<uint8_t>& bytes, size_t extent, uint32_t offset);

// "SCSI", "ATA", "USB", "SATA", "SD", "MMC", "NVMe", or "Unknown".
std::string bus_label(uint32_t bus_type);

// Listed only when the media is removable or the bus is USB, SD or MMC.
bool is_eligible_drive(const DeviceDescriptor& descriptor);

// True when a disk-attributes answer of at least 16 bytes has
// DISK_ATTRIBUTE_READ_ONLY set in its 64-bit Attributes at offset 8.
bool attributes_read_only(const std::vector<uint8_t>& attributes);

// "memory-card" for SD and MMC buses or a card keyword in the lower-cased
// "vendor product" text; otherwise "usb-drive" on USB, else
// "removable-drive".
std::string device_target_type(const DeviceDescriptor& descriptor);

// The product when it contains the vendor (case-sensitive), else
// "vendor product"; either one alone; "Removable storage" with neither.
std::string device_model(const std::optional<std::string>& vendor, const std::optional<std::string>& product);

}  // namespace dh
