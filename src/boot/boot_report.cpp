#include "boot/boot_report.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "boot/target_chain.h"
#include "disks/target.h"
#include "protocol/payload.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/target_guard.h"

namespace dh {
namespace {

using nlohmann::json;

constexpr uint32_t kRootPartitionMinSectors = 0x100000;  // 512 MiB

struct BootFileRequirement {
  const char* prefix;  // exact name when extension is null
  const char* extension;
  const char* reported;
};

constexpr BootFileRequirement kBootFiles[] = {
    {"CONFIG.TXT", nullptr, "config.txt"}, {"CMDLINE.TXT", nullptr, "cmdline.txt"}, {"START", "ELF", "start*.elf"},
    {"FIXUP", "DAT", "fixup*.dat"},        {"KERNEL", "IMG", "kernel*.img"},
};

json partition_type_text(const std::optional<PartitionEntry>& partition) {
  if (!partition) return nullptr;
  char digits[8];
  char* end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(partition->partition_type), 16).ptr;
  return "0x" + std::string(digits, end);
}

json media_read_failure(const std::string& message) {
  return make_check("boot-media-read", "Boot media inspection", check_status::kFailed, message, true, json::object());
}

json boot_files_check(const std::vector<std::string>& names) {
  std::string missing;
  for (const auto& file : kBootFiles) {
    bool found =
        file.extension ? has_prefixed_name(names, file.prefix, file.extension) : has_exact_name(names, file.prefix);
    if (found) continue;
    if (!missing.empty()) missing += ", ";
    missing += file.reported;
  }
  json details = {{"filesSeen", names.size()}, {"missing", nullptr}};
  const char* label = "Raspberry Pi boot files";
  if (missing.empty()) {
    return make_check("boot-files", label, check_status::kPassed,
                      "Boot partition contains Raspberry Pi firmware, kernel, and command-line files.", false,
                      std::move(details));
  }
  details["missing"] = missing;
  return make_check("boot-files", label, check_status::kWarning,
                    "Boot file scan could not confirm expected file(s): " + missing +
                        ". Byte-for-byte verification will continue before the card is marked ready.",
                    false, std::move(details));
}

// 64 hexadecimal characters, either case: what a SHA-256 digest looks like.
bool is_hex_digest(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

json image_hash_check(const std::string& expected, const std::string& observed, uint64_t verified_bytes,
                      uint64_t image_bytes, bool skip) {
  json details = {{"checksumSkipped", skip},
                  {"expectedSha256", expected},
                  {"observedSha256", observed},
                  {"verifiedBytes", verified_bytes}};
  const char* id = "image-hash";
  const char* label = "Byte-for-byte image verification";
  if (skip) {
    return make_check(id, label, check_status::kSkipped,
                      "Byte-for-byte checksum is skipped until boot files are confirmed present.", false,
                      std::move(details));
  }
  // Two equal texts are not evidence unless they are digests.
  if (is_hex_digest(expected) && is_hex_digest(observed) && expected == observed && verified_bytes == image_bytes) {
    return make_check(id, label, check_status::kPassed,
                      "Every byte written to the target matches the prepared Raspberry Pi OS image.", true,
                      std::move(details));
  }
  return make_check(id, label, check_status::kFailed, "The card contents do not match the prepared image.", true,
                    std::move(details));
}

// A non-negative JSON integer, echoed as it is; anything else is null.
json ordinal_field(const json& payload) {
  if (!payload.is_object()) return nullptr;
  auto it = payload.find("targetOrdinal");
  if (it == payload.end()) return nullptr;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0) return it->get<uint64_t>();
  return nullptr;
}

json text_or_null(const json& payload, const char* key) {
  auto text = payload_str(payload, key);
  return text ? json(*text) : json(nullptr);
}

}  // namespace

json make_check(const std::string& id, const std::string& label, const std::string& status, const std::string& message,
                bool critical, json details) {
  return json{{"id", id},           {"label", label},       {"status", status},
              {"message", message}, {"critical", critical}, {"details", std::move(details)}};
}

void inspect_boot_media(const CheckedTarget& checked, json& checks) {
  auto target = open_target_shared_read(checked);
  if (!target) {
    checks.push_back(media_read_failure(target.error().message));
    return;
  }
  File& disk = **target;

  auto mbr = read_sectors_at(disk, 0, 1);
  if (!mbr) {
    checks.push_back(media_read_failure(mbr.error().message));
    return;
  }
  if (!mbr_signature_present(*mbr)) {
    checks.push_back(make_check("mbr-signature", "Master boot record", check_status::kFailed,
                                "MBR signature is missing.", true, json::object()));
    return;
  }
  checks.push_back(make_check("mbr-signature", "Master boot record", check_status::kPassed, "MBR signature is present.",
                              true, json::object()));

  auto entries = parse_partition_entries(*mbr);
  auto boot = find_boot_partition(entries);
  auto root = find_root_partition(entries, boot);
  json table_details = {{"partitionCount", entries.size()},
                        {"bootPartitionType", partition_type_text(boot)},
                        {"rootPartitionType", partition_type_text(root)}};
  if (!boot || !root) {
    checks.push_back(make_check("partition-table", "Raspberry Pi partitions", check_status::kFailed,
                                "Expected FAT boot and Linux root partitions were not both found.", true,
                                std::move(table_details)));
    return;
  }
  checks.push_back(make_check("partition-table", "Raspberry Pi partitions", check_status::kPassed,
                              "Found a FAT boot partition and Linux root partition.", true, std::move(table_details)));

  json root_details = {{"partition", root->number}, {"sizeBytes", uint64_t{root->sector_count} * kSectorSize}};
  if (root->sector_count > kRootPartitionMinSectors) {
    checks.push_back(make_check("root-partition", "Root filesystem partition", check_status::kPassed,
                                "Linux root filesystem partition is present and large enough for Raspberry Pi OS.",
                                true, std::move(root_details)));
  } else {
    checks.push_back(make_check("root-partition", "Root filesystem partition", check_status::kWarning,
                                "Linux root filesystem partition is present but smaller than expected.", true,
                                std::move(root_details)));
  }

  auto sector = read_sectors_at(disk, boot->start_lba, 1);
  if (!sector) {
    checks.push_back(media_read_failure(sector.error().message));
    return;
  }
  FatBootSector fat = parse_fat_boot_sector(*sector);
  json sector_details = {{"partition", boot->number},
                         {"bytesPerSector", fat.bytes_per_sector},
                         {"sectorsPerCluster", fat.sectors_per_cluster}};
  if (!fat_layout_readable(fat)) {
    checks.push_back(make_check("boot-sector", "Boot filesystem", check_status::kFailed,
                                "Boot partition does not have a readable FAT layout.", true,
                                std::move(sector_details)));
    return;
  }
  std::string message = "Boot partition has a readable FAT layout";
  if (!fat.file_system_type.empty()) message += " (" + fat.file_system_type + ")";
  checks.push_back(make_check("boot-sector", "Boot filesystem", check_status::kPassed, message + ".", true,
                              std::move(sector_details)));

  auto directory = read_cluster_chain(disk, boot->start_lba, fat.reserved_sectors, fat.fat_count, fat.sectors_per_fat,
                                      fat.sectors_per_cluster, fat.root_cluster);
  if (!directory) {
    checks.push_back(media_read_failure(directory.error().message));
    return;
  }
  checks.push_back(boot_files_check(list_directory_names(*directory)));
}

HandlerResult handle_verify_boot(const WindowsHelperRequest& request) {
  const json& payload = request.payload;
  auto device_path = resolve_target_path(payload);
  DH_TRY(device_path);
  // Held until this function returns, so Windows cannot remount the card's
  // partitions while its sectors are read.
  auto guarded = lock_target_volumes(*device_path);
  DH_TRY(guarded);

  const std::string expected = payload_str(payload, "expectedSha256").value_or("");
  const std::string observed = payload_str(payload, "observedSha256").value_or("");
  const uint64_t verified_bytes = payload_u64(payload, "verifiedBytes").value_or(0);
  const uint64_t image_bytes = payload_u64(payload, "imageBytes").value_or(verified_bytes);
  const bool skip = payload_flag(payload, "skipChecksum");

  json checks = json::array();
  checks.push_back(image_hash_check(expected, observed, verified_bytes, image_bytes, skip));
  bool success = false;
  const std::string hash_status = checks[0]["status"];
  if (hash_status == check_status::kPassed || hash_status == check_status::kSkipped) {
    inspect_boot_media(guarded->target, checks);
    success = true;
    for (const auto& check : checks) {
      if (check["critical"] == true && check["status"] == check_status::kFailed) success = false;
    }
  }

  json report = {{"checks", std::move(checks)},
                 {"deviceId", payload_str(payload, "deviceId").value_or(*device_path)},
                 {"devicePath", payload_str(payload, "devicePath").value_or(*device_path)},
                 {"expectedSha256", expected},
                 {"imageBytes", image_bytes},
                 {"limitations", json::array({kBootLimitation})},
                 {"model", text_or_null(payload, "model")},
                 {"observedSha256", observed},
                 {"outcome", success ? "working" : "failed"},
                 {"success", success},
                 {"targetLabel", text_or_null(payload, "targetLabel")},
                 {"targetOrdinal", ordinal_field(payload)},
                 {"verifiedBytes", verified_bytes}};
  return json{{"report", std::move(report)}};
}

}  // namespace dh
