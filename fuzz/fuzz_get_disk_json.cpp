// libFuzzer target: PowerShell's ConvertTo-Json output as both list_disks
// routes take it: the guard's excluded drive numbers and the Get-Disk route's
// disk records. Checks the records' shape and that a parser error still
// reaches the caller as a valid response line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "disks/list_disks.h"
#include "disks/target.h"
#include "protocol/response.h"

namespace {

using nlohmann::json;

bool is_true(const json& item, const char* key) {
  auto it = item.find(key);
  return it != item.end() && it->is_boolean() && it->get<bool>();
}

void check_guard(std::string_view text, bool is_json, const json& parsed) {
  auto excluded = dh::parse_guard_output(text);
  if (excluded.has_value() != is_json) std::abort();
  if (!excluded) return;
  for (uint32_t number : *excluded) {
    bool marked = false;
    for (const json& item : dh::json_items(parsed)) {
      if (!item.is_object()) continue;
      auto n = item.find("Number");
      if (n == item.end() || !n->is_number_integer() || n->get<int64_t>() != number) continue;
      marked = marked || is_true(item, "IsSystem") || is_true(item, "IsBoot");
    }
    if (!marked) std::abort();
  }
}

void check_record(const json& r) {
  static constexpr const char* kKeys[] = {
      "bsdDisk", "id",        "internal", "isBoot",    "isSystem",   "model",   "mountPoints", "osDevicePath",
      "rawDisk", "removable", "serial",   "sizeBytes", "targetType", "usbPath", "vendor",      "writable"};
  for (const char* key : kKeys) {
    if (r.contains(key) != (std::string_view(key) != "targetType")) std::abort();
  }
  if (r.size() != std::size(kKeys) - 1) std::abort();
  if (!r["sizeBytes"].is_number_unsigned() || r["sizeBytes"].get<uint64_t>() == 0) std::abort();
  const std::string& id = r["id"].get_ref<const std::string&>();
  if (!id.starts_with("PhysicalDrive") || id.size() == 13 ||
      id.find_first_not_of("0123456789", 13) != std::string::npos) {
    std::abort();
  }
  if (r["rawDisk"] != "\\\\.\\" + id || r["osDevicePath"] != r["rawDisk"] || r["bsdDisk"] != id) std::abort();
  if (r["removable"] != true || r["writable"] != true || r["isSystem"] != false || r["isBoot"] != false) std::abort();
  std::string bus = r["vendor"].get<std::string>();
  for (char& c : bus) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (bus != "SD" && bus != "USB" && bus != "MMC") std::abort();
  if (r["usbPath"] != "Bus:" + r["vendor"].get<std::string>()) std::abort();
  if (!r["serial"].is_null() && !r["serial"].is_string()) std::abort();
  if (id.size() <= 23) {  // a number that fits in 32 bits resolves back to itself
    auto number = dh::parse_drive_number(r["osDevicePath"].get<std::string>());
    if (number && dh::physical_drive_path(*number) != r["osDevicePath"]) std::abort();
  }
  // Records are printed: they must serialize and read back unchanged.
  if (json::parse(dh::dump_json(r)) != r) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  bool is_json = !parsed.is_discarded();
  check_guard(text, is_json, parsed);

  auto disks = dh::parse_get_disk_output(text);
  if (disks.has_value() != is_json) std::abort();
  if (!disks) {
    if (disks.error().code != dh::ErrorCode::kUnknown || disks.error().message.empty()) std::abort();
    // The parser's text may quote the input's bytes; the line must stay JSON.
    std::string line = dh::serialize_response(dh::make_error_response("1", disks.error().code, disks.error().message));
    json back = json::parse(line, nullptr, false);
    if (back.is_discarded() || back.value("ok", true)) std::abort();
    return 0;
  }
  if (disks->size() > dh::json_items(parsed).size()) std::abort();
  for (const json& record : *disks) check_record(record);
  return 0;
}
