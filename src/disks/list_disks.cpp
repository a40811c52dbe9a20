#include "disks/list_disks.h"

#include <string>

#include "base/text.h"
#include "disks/device_descriptor.h"
#include "formats/little_endian.h"
#include "platform/device_path.h"
#include "platform/physical_drive.h"
#include "powershell/powershell.h"

namespace dh {
namespace {

using nlohmann::json;

constexpr uint32_t kProbedDrives = 32;

std::optional<uint64_t> non_negative_integer(const json& item, const char* key) {
  auto it = item.find(key);
  if (it == item.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
  return std::nullopt;
}

bool is_true(const json& item, const char* key) {
  auto it = item.find(key);
  return it != item.end() && it->is_boolean() && it->get<bool>();
}

const std::string* string_member(const json& item, const char* key) {
  auto it = item.find(key);
  return it != item.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

// The members both routes fill the same way.
json base_record(uint64_t number) {
  std::string path = physical_drive_path(number);
  std::string name = "PhysicalDrive" + std::to_string(number);
  return json{{"id", name},
              {"bsdDisk", name},
              {"rawDisk", path},
              {"osDevicePath", path},
              {"removable", true},
              {"internal", false},
              {"mountPoints", json::array()},
              {"writable", true},
              {"isSystem", false},
              {"isBoot", false}};
}

json device_disk_record(uint32_t number, uint64_t size, const DeviceDescriptor& d) {
  std::string label = bus_label(d.bus_type);
  json record = base_record(number);
  record["targetType"] = device_target_type(d);
  record["sizeBytes"] = size;
  record["usbPath"] = "Bus:" + label;
  record["vendor"] = d.vendor.value_or(label);
  record["model"] = device_model(d.vendor, d.product);
  record["serial"] = d.serial ? json(*d.serial) : json(nullptr);
  return record;
}

}  // namespace

std::vector<json> json_items(const json& value) {
  if (value.is_array()) return std::vector<json>(value.begin(), value.end());
  if (value.is_object()) return {value};
  return {};
}

std::set<uint32_t> guard_excluded_drives(const json& guard_output) {
  std::set<uint32_t> excluded;
  for (const json& item : json_items(guard_output)) {
    if (!item.is_object()) continue;
    auto number = non_negative_integer(item, "Number");
    if (!number || *number > 0xFFFFFFFFu) continue;
    if (is_true(item, "IsSystem") || is_true(item, "IsBoot")) excluded.insert(static_cast<uint32_t>(*number));
  }
  return excluded;
}

std::optional<json> get_disk_record(const json& item) {
  if (!item.is_object()) return std::nullopt;
  uint64_t number = non_negative_integer(item, "Number").value_or(0);
  const std::string* bus = string_member(item, "BusType");
  std::string bus_text = bus != nullptr ? *bus : "Unknown";
  std::string upper = ascii_upper(bus_text);
  bool removable_bus = upper == "SD" || upper == "USB" || upper == "MMC";
  auto read_only = item.find("IsReadOnly");
  bool writable = !(read_only != item.end() && read_only->is_boolean() && read_only->get<bool>());
  auto size = non_negative_integer(item, "Size");
  if (!size || *size == 0 || !removable_bus || !writable || is_true(item, "IsSystem") || is_true(item, "IsBoot")) {
    return std::nullopt;
  }

  json record = base_record(number);
  record["sizeBytes"] = *size;
  record["usbPath"] = "Bus:" + bus_text;
  record["vendor"] = bus_text;
  const std::string* name = string_member(item, "FriendlyName");
  record["model"] = name != nullptr ? *name : "Unknown";
  const std::string* serial = string_member(item, "SerialNumber");
  record["serial"] = serial != nullptr ? json(*serial) : json(nullptr);
  return record;
}

std::optional<std::set<uint32_t>> parse_guard_output(std::string_view output) {
  json guard_output = json::parse(output, nullptr, /*allow_exceptions=*/false);
  if (guard_output.is_discarded()) return std::nullopt;
  return guard_excluded_drives(guard_output);
}

Expected<std::vector<json>, HelperError> parse_get_disk_output(std::string_view output) {
  json parsed;
  try {
    parsed = json::parse(output);
  } catch (const json::exception& e) {
    return unexpected(unknown_error(e.what()));
  }
  std::vector<json> disks;
  for (const json& item : json_items(parsed)) {
    if (auto record = get_disk_record(item)) disks.push_back(std::move(*record));
  }
  return disks;
}

std::optional<std::vector<json>> enumerate_physical_drives() {
  auto guard = run_powershell(kGuardScript);
  if (!guard) return std::nullopt;
  auto guard_excluded = parse_guard_output(*guard);
  if (!guard_excluded) return std::nullopt;
  const std::set<uint32_t>& excluded = *guard_excluded;

  std::vector<json> disks;
  bool any_answered = false;
  for (uint32_t number = 0; number < kProbedDrives; ++number) {
    if (excluded.count(number) != 0) continue;
    auto opened = physical_drive_system().open_drive(number);
    if (!opened) continue;
    PhysicalDrive& drive = **opened;

    auto length = drive.length_info();
    if (!length || length->size() < 8) continue;
    any_answered = true;
    uint64_t size = le_u64(*length, 0);
    if (size == 0) continue;

    auto descriptor_bytes = drive.device_descriptor();
    if (!descriptor_bytes || descriptor_bytes->size() <= 35) continue;
    DeviceDescriptor descriptor = parse_device_descriptor(*descriptor_bytes);
    if (!is_eligible_drive(descriptor)) continue;

    auto attributes = drive.disk_attributes();
    if (attributes && attributes_read_only(*attributes)) continue;

    disks.push_back(device_disk_record(number, size, descriptor));
  }
  if (!any_answered) return std::nullopt;
  return disks;
}

Expected<std::vector<json>, HelperError> list_disks_via_powershell() {
  auto output = run_powershell(kGetDiskScript);
  DH_TRY(output);
  return parse_get_disk_output(*output);
}

HandlerResult handle_list_disks(const WindowsHelperRequest&) {
  if (auto disks = enumerate_physical_drives()) return json{{"disks", std::move(*disks)}};
  auto disks = list_disks_via_powershell();
  DH_TRY(disks);
  return json{{"disks", std::move(*disks)}};
}

}  // namespace dh
