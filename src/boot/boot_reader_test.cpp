// MBR, FAT boot sector, cluster chain and directory parsing, on hand-built
// sectors and on disk images made by sfdisk, mkfs.vfat and mtools.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "boot/target_chain.h"
#include "rawdisk/raw_access.h"
#include "support/memory_file.h"
#include "support/test_support.h"

namespace dh {
namespace {

using Sector = std::vector<uint8_t>;
using test::MemoryFile;

void put_u32(Sector& s, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

Sector mbr_with(std::initializer_list<std::tuple<int, uint8_t, uint32_t, uint32_t>> entries) {
  Sector s(512);
  for (auto [slot, type, start, count] : entries) {
    size_t off = 446 + 16 * slot;
    s[off + 4] = type;
    put_u32(s, off + 8, start);
    put_u32(s, off + 12, count);
  }
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

// A 32-byte directory entry from an 11-byte name field.
Sector dir_entry(std::string_view name83, uint8_t attributes = 0x20) {
  Sector e(32);
  std::copy(name83.begin(), name83.end(), e.begin());
  e[11] = attributes;
  return e;
}

Sector concat(std::initializer_list<Sector> parts) {
  Sector all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A disk image from the fixtures folder, opened like a target.
FilePtr open_fixture(const std::string& name) {
  auto file = open_target_shared_read(CheckedTarget::as_found(test::native_path(FIXTURE_DIR "/" + name)));
  EXPECT_TRUE(file.has_value()) << name;
  return file ? std::move(file).value() : nullptr;
}

struct RootDirectory {
  FatBootSector fat;
  SysResult<std::vector<uint8_t>> bytes = std::vector<uint8_t>{};
};

RootDirectory read_root(const std::string& name) {
  auto file = open_fixture(name);
  auto mbr = read_sectors_at(*file, 0, 1);
  auto boot = find_boot_partition(parse_partition_entries(*mbr));
  EXPECT_TRUE(boot.has_value());
  auto sector = read_sectors_at(*file, boot->start_lba, 1);
  RootDirectory root{parse_fat_boot_sector(*sector)};
  root.bytes = read_cluster_chain(*file, boot->start_lba, root.fat.reserved_sectors, root.fat.fat_count,
                                  root.fat.sectors_per_fat, root.fat.sectors_per_cluster, root.fat.root_cluster);
  return root;
}

TEST(MbrSignature, NeedsWholeSectorAndBothBytes) {
  Sector s = mbr_with({});
  EXPECT_TRUE(mbr_signature_present(s));
  EXPECT_FALSE(mbr_signature_present(Bytes(s).first(511)));
  s[511] = 0xAB;
  EXPECT_FALSE(mbr_signature_present(s));
  s[511] = 0xAA;
  s[510] = 0;
  EXPECT_FALSE(mbr_signature_present(s));
  EXPECT_FALSE(mbr_signature_present(Bytes{}));
}

TEST(PartitionTable, UsedEntriesKeepTheirPositions) {
  // Slot 0 has a type but no start, slot 2 a start but no count: unused.
  Sector s = mbr_with({{0, 0x0C, 0, 100}, {1, 0x0C, 8192, 1000}, {2, 0x83, 9000, 0}, {3, 0x83, 20000, 5000}});
  auto entries = parse_partition_entries(s);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (PartitionEntry{2, 8192, 0x0C, 1000}));
  EXPECT_EQ(entries[1], (PartitionEntry{4, 20000, 0x83, 5000}));
  EXPECT_EQ(find_boot_partition(entries)->number, 2u);
  EXPECT_EQ(find_root_partition(entries, find_boot_partition(entries))->number, 4u);

  // The table ends at 510: a buffer that stops inside it loses those entries.
  EXPECT_EQ(parse_partition_entries(Bytes(s).first(446 + 16 * 3)).size(), 1u);
  EXPECT_TRUE(parse_partition_entries(Bytes(s).first(100)).empty());
}

TEST(PartitionTable, RolesTakeTheFirstMatchingEntry) {
  for (uint8_t type : {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E, 0xEF}) {
    auto entries = parse_partition_entries(mbr_with({{0, 0x83, 100, 10}, {1, type, 200, 10}, {2, 0x0C, 300, 10}}));
    EXPECT_EQ(find_boot_partition(entries)->number, 2u) << int(type);
  }
  for (uint8_t type : {0x05, 0x07, 0x0F, 0x82, 0x83, 0xEE}) {
    auto entries = parse_partition_entries(mbr_with({{0, type, 100, 10}}));
    EXPECT_FALSE(find_boot_partition(entries).has_value()) << int(type);
  }
  auto entries = parse_partition_entries(mbr_with({{0, 0x0C, 100, 10}, {1, 0x83, 200, 10}, {2, 0x83, 300, 10}}));
  EXPECT_EQ(find_root_partition(entries, find_boot_partition(entries))->start_lba, 200u);
  EXPECT_EQ(find_root_partition(entries, std::nullopt)->start_lba, 200u);
  EXPECT_FALSE(find_root_partition(parse_partition_entries(mbr_with({{0, 0x0C, 100, 10}})), std::nullopt));
}

TEST(PartitionTable, ImagesFromSfdisk) {
  auto pi = parse_partition_entries(*read_sectors_at(*open_fixture("pi.img"), 0, 1));
  ASSERT_EQ(pi.size(), 2u);
  EXPECT_EQ(pi[0], (PartitionEntry{1, 8192, 0x0C, 81920}));
  EXPECT_EQ(pi[1], (PartitionEntry{2, 90112, 0x83, 1048577}));

  // A GPT disk shows only its protective entry, which is no boot partition.
  auto gpt = parse_partition_entries(*read_sectors_at(*open_fixture("gpt.img"), 0, 1));
  ASSERT_EQ(gpt.size(), 1u);
  EXPECT_EQ(gpt[0].partition_type, 0xEE);
  EXPECT_FALSE(find_boot_partition(gpt).has_value());
}

TEST(FatBootSector, ReadsTheFieldsMkfsWrote) {
  auto file = open_fixture("pi.img");
  Sector sector = *read_sectors_at(*file, 8192, 1);
  FatBootSector fat = parse_fat_boot_sector(sector);
  EXPECT_EQ(fat.bytes_per_sector, 512);
  EXPECT_EQ(fat.sectors_per_cluster, 1);
  EXPECT_EQ(fat.fat_count, 2);
  EXPECT_GT(fat.reserved_sectors, 0);
  EXPECT_GT(fat.sectors_per_fat, 0u);
  EXPECT_EQ(fat.root_cluster, 2u);
  EXPECT_EQ(fat.file_system_type, "FAT32");  // stored as "FAT32   "
  EXPECT_TRUE(fat_layout_readable(fat));

  auto readable_with = [&](size_t off, std::initializer_list<uint8_t> bytes) {
    Sector s = sector;
    std::copy(bytes.begin(), bytes.end(), s.begin() + off);
    return fat_layout_readable(parse_fat_boot_sector(s));
  };
  EXPECT_TRUE(readable_with(0x0B, {0x00, 0x10}));   // 4096 bytes per sector
  EXPECT_TRUE(readable_with(0x0B, {0x03, 0x02}));   // 515: no power-of-two test
  EXPECT_FALSE(readable_with(0x0B, {0x01, 0x10}));  // 4097
  EXPECT_FALSE(readable_with(0x0B, {0x00, 0x01}));  // 256
  EXPECT_FALSE(readable_with(0x0D, {0}));
  EXPECT_FALSE(readable_with(0x0E, {0, 0}));
  EXPECT_FALSE(readable_with(0x10, {0}));
  EXPECT_FALSE(readable_with(0x24, {0, 0, 0, 0}));
  EXPECT_FALSE(readable_with(0x2C, {1, 0, 0, 0}));
  EXPECT_FALSE(readable_with(510, {0x55, 0x00}));
  EXPECT_FALSE(fat_layout_readable(parse_fat_boot_sector(Bytes(sector).first(511))));

  // Type text: invalid UTF-8 replaced, white space trimmed; a short buffer
  // gives zero fields rather than reading past its end.
  Sector odd = sector;
  std::string raw =
      " F\xff"
      "T  \t ";
  std::copy(raw.begin(), raw.end(), odd.begin() + 0x52);
  EXPECT_EQ(parse_fat_boot_sector(odd).file_system_type, "F\xef\xbf\xbdT");
  FatBootSector cut = parse_fat_boot_sector(Bytes(sector).first(0x24));
  EXPECT_EQ(cut.root_cluster, 0u);
  EXPECT_EQ(cut.sectors_per_fat, 0u);
  EXPECT_EQ(cut.file_system_type, "");
}

TEST(FatBootSector, TypeFollowsTheClusterCount) {
  // 512-byte sectors, 1 reserved, two FATs of 16 and 512 root entries (32
  // sectors): 65 sectors ahead of the clusters. The 16-bit FAT size and total
  // win over the 32-bit ones, which hold junk there.
  struct Row {
    uint16_t total16;
    uint32_t total32;
    uint8_t spc;
    uint16_t spf16;
    uint32_t spf32;
    std::optional<FatType> type;
  };
  const uint32_t junk = 0xDEADBEEF;
  const Row rows[] = {
      {65 + 4084, junk, 1, 16, junk, FatType::kFat12},
      {65 + 4085, junk, 1, 16, junk, FatType::kFat16},
      {65 + 4085 * 4 - 1, junk, 4, 16, junk, FatType::kFat12},  // a partial cluster does not count
      {0, 65 + 65524, 1, 0, 16, FatType::kFat16},
      {0, 65 + 65525, 1, 0, 16, FatType::kFat32},
      {64, junk, 1, 16, junk, std::nullopt},  // fewer sectors than lie ahead of the clusters
      {65 + 4085, junk, 0, 16, junk, std::nullopt},
  };
  for (const Row& row : rows) {
    FatBootSector boot;
    boot.bytes_per_sector = 512;
    boot.sectors_per_cluster = row.spc;
    boot.reserved_sectors = 1;
    boot.fat_count = 2;
    boot.root_entry_count = 512;
    boot.total_sectors_16 = row.total16;
    boot.total_sectors_32 = row.total32;
    boot.sectors_per_fat_16 = row.spf16;
    boot.sectors_per_fat = row.spf32;
    EXPECT_EQ(fat_size_sectors(boot), 16u) << row.total16 << " " << row.total32;
    EXPECT_EQ(fat_type(boot), row.type) << row.total16 << " " << row.total32 << " " << +row.spc;
  }
}

TEST(DirectoryNames, MarkersAttributesAndNameForm) {
  Sector lfn = dir_entry("A\0b\0c\0d\0e\0f", 0x0F);
  Sector deleted = dir_entry("\xE5ONFIG  TXT");
  Sector dir = concat({dir_entry("BOOTFS     ", 0x08), lfn, dir_entry("config  txt"), deleted,
                       dir_entry("OVERLAYS   ", 0x10), dir_entry("START4  ELF", 0x27), dir_entry("README     "),
                       dir_entry("        TXT"), dir_entry("K\xC3\xA9R\xFF   IMG"), dir_entry(" X      Y  "),
                       Sector(32), dir_entry("AFTER   TXT"), Sector(20)});
  EXPECT_EQ(list_directory_names(dir), (std::vector<std::string>{"CONFIG.TXT", "OVERLAYS", "START4.ELF", "README",
                                                                 "K\xC3\xA9R\xEF\xBF\xBD.IMG", "X.Y"}));
  // A partial entry at the end is ignored.
  EXPECT_EQ(list_directory_names(concat({dir_entry("ONE     TXT"), Sector(31, 'A')})),
            std::vector<std::string>{"ONE.TXT"});
  EXPECT_TRUE(list_directory_names(Bytes{}).empty());
}

TEST(DirectoryNames, BootFileMatching) {
  std::vector<std::string> names{"START.ELF", "START4.ELF", "START_CD.ELF", "FIXUP4X.DAT", "KERNEL.IMG", "KERNEL8.IMG"};
  for (const auto& name : names) {
    std::vector<std::string> one{name};
    EXPECT_TRUE(has_prefixed_name(one, "start", "elf") || has_prefixed_name(one, "fixup", "dat") ||
                has_prefixed_name(one, "kernel", "img"))
        << name;
  }
  EXPECT_FALSE(has_prefixed_name({"STARTELF"}, "start", "elf"));
  EXPECT_FALSE(has_prefixed_name({"START4.EL"}, "start", "elf"));
  EXPECT_FALSE(has_prefixed_name({"XSTART.ELF"}, "start", "elf"));
  EXPECT_FALSE(has_prefixed_name({}, "start", "elf"));
  EXPECT_TRUE(has_exact_name({"README", "CONFIG.TXT"}, "config.txt"));
  EXPECT_FALSE(has_exact_name({"CONFIG.TXT.BAK", "XCONFIG.TXT"}, "config.txt"));
  // Names are compared as listed: a lower-case name never matches.
  EXPECT_FALSE(has_exact_name({"config.txt"}, "config.txt"));
}

TEST(ClusterChain, RootDirectoryOfAPiBootPartition) {
  RootDirectory root = read_root("pi.img");
  ASSERT_TRUE(root.bytes.has_value()) << root.bytes.error().message;
  EXPECT_GT(root.bytes->size(), 3u * 512);  // the root directory spans several clusters
  EXPECT_EQ(root.bytes->size() % 512, 0u);
  auto names = list_directory_names(*root.bytes);
  ASSERT_EQ(names.size(), 27u);
  // Long names appear under their aliases only; the label and the deleted
  // NOTES.TXT are not listed.
  EXPECT_EQ(names[0], "BCM271~1.DTB");
  EXPECT_FALSE(has_exact_name(names, "bcm2711-rpi-variant-1.dtb"));
  EXPECT_EQ(std::vector<std::string>(names.begin() + 20, names.end()),
            (std::vector<std::string>{"CONFIG.TXT", "CMDLINE.TXT", "START4.ELF", "FIXUP4.DAT", "KERNEL8.IMG",
                                      "OVERLAYS", "ISSUE.TXT"}));
  EXPECT_FALSE(has_exact_name(names, "NOTES.TXT"));
  EXPECT_FALSE(has_exact_name(names, "BOOTFS"));
}

TEST(ClusterChain, DamagedDirectories) {
  RootDirectory pi = read_root("pi.img");
  // The last cluster points back to the first: everything is read once.
  RootDirectory loop = read_root("loop.img");
  ASSERT_TRUE(loop.bytes.has_value());
  EXPECT_EQ(*loop.bytes, *pi.bytes);

  // 300 clusters of entries: reading stops after 256, and the boot files
  // that follow are never seen.
  RootDirectory longer = read_root("long-chain.img");
  ASSERT_TRUE(longer.bytes.has_value());
  EXPECT_EQ(longer.bytes->size(), 256u * 512);
  auto names = list_directory_names(*longer.bytes);
  EXPECT_EQ(names.size(), 256u * 16 - 1);  // all but the volume label
  EXPECT_FALSE(has_exact_name(names, "CONFIG.TXT"));

  // The listing stops at an entry that starts with 0x00.
  auto cut = list_directory_names(*read_root("end-marker.img").bytes);
  auto whole = list_directory_names(*pi.bytes);
  EXPECT_EQ(cut, std::vector<std::string>(whole.begin(), whole.begin() + 20));

  EXPECT_TRUE(has_exact_name(list_directory_names(*read_root("lowercase.img").bytes), "CONFIG.TXT"));

  // The data region is missing: the sector reader's error comes through.
  RootDirectory cut_short = read_root("no-data-region.img");
  ASSERT_FALSE(cut_short.bytes.has_value());
  EXPECT_EQ(cut_short.bytes.error().message, "failed to fill whole buffer");
}

// A synthetic FAT: cluster n's entry is next(n); every read is recorded.
struct FakeFat {
  FakeFat(std::function<uint32_t(uint32_t)> next_entry, uint64_t fat_lba)
      : next(std::move(next_entry)), fat_start(fat_lba) {}
  std::function<uint32_t(uint32_t)> next;
  uint64_t fat_start = 0;
  std::vector<std::pair<uint64_t, uint64_t>> reads;
  size_t fat_sector_size = 512;

  SectorReader reader() {
    return [this](uint64_t lba, uint64_t count) -> SysResult<std::vector<uint8_t>> {
      reads.emplace_back(lba, count);
      if (count != 1 || lba < fat_start || lba >= fat_start + (1u << 21)) return std::vector<uint8_t>(count * 512);
      std::vector<uint8_t> sector(fat_sector_size);
      for (uint32_t i = 0; i < fat_sector_size / 4; ++i) {
        put_u32(sector, i * 4, next(static_cast<uint32_t>((lba - fat_start) * 128 + i)));
      }
      return sector;
    };
  }
};

TEST(ClusterChain, StopRules) {
  struct Case {
    const char* what;
    std::function<uint32_t(uint32_t)> next;
    uint32_t first;
    size_t clusters;
  };
  const Case cases[] = {
      {"end mark", [](uint32_t n) { return n < 5 ? n + 1 : 0x0FFFFFF8; }, 2, 4},
      {"end mark in the upper bits only", [](uint32_t n) { return n < 3 ? 0xF0000000 | (n + 1) : 0xFFFFFFFF; }, 2, 2},
      {"free", [](uint32_t n) { return n < 4 ? n + 1 : 0; }, 2, 3},
      {"reserved", [](uint32_t) { return 1; }, 7, 1},
      {"bad-cluster mark", [](uint32_t) { return 0x0FFFFFF7; }, 9, 2},
      {"loop to an earlier cluster", [](uint32_t n) { return n < 10 ? n + 1 : 6; }, 2, 9},
      {"endless chain", [](uint32_t n) { return n + 1; }, 2, 256},
      {"first cluster 0", [](uint32_t n) { return n + 1; }, 0, 0},
      {"first cluster 1", [](uint32_t n) { return n + 1; }, 1, 0},
      {"first cluster past the last", [](uint32_t n) { return n + 1; }, 0x0FFFFFF8, 0},
  };
  for (const auto& c : cases) {
    FakeFat fat{c.next, 32};
    auto bytes = read_cluster_chain(fat.reader(), 0, 32, 2, 1000, 4, c.first);
    ASSERT_TRUE(bytes.has_value()) << c.what;
    EXPECT_EQ(bytes->size(), c.clusters * 4 * 512) << c.what;
    EXPECT_EQ(fat.reads.size(), c.clusters * 2) << c.what;
  }
}

TEST(ClusterChain, PositionsAndErrors) {
  FakeFat fat{[](uint32_t n) { return n == 300 ? 2 : 0x0FFFFFFF; }, 1000 + 6};
  ASSERT_TRUE(read_cluster_chain(fat.reader(), 1000, 6, 2, 50, 8, 300).has_value());
  // Cluster 300 at data start (1000 + 6 + 2 * 50) + 298 * 8; its FAT entry
  // in FAT sector 300 / 128 = 2; then cluster 2 at data start.
  using Read = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(fat.reads, (std::vector<Read>{{1106 + 298 * 8, 8}, {1008, 1}, {1106, 8}, {1006, 1}}));

  // The largest positions the fields allow stay exact in 64 bits.
  FakeFat far{[](uint32_t) { return 0x0FFFFFFF; }, 0};
  ASSERT_TRUE(read_cluster_chain(far.reader(), 0xFFFFFFFF, 0xFFFF, 255, 0xFFFFFFFF, 255, 0x0FFFFFF7).has_value());
  const uint64_t fat_start = 0xFFFFFFFFull + 0xFFFF;
  const uint64_t data_start = fat_start + 255ull * 0xFFFFFFFF;
  EXPECT_EQ(far.reads[0], (Read{data_start + (0x0FFFFFF7ull - 2) * 255, 255}));
  EXPECT_EQ(far.reads[1], (Read{fat_start + 0x0FFFFFF7ull / 128, 1}));

  FakeFat short_fat{[](uint32_t n) { return n + 1; }, 0};
  short_fat.fat_sector_size = 40;  // holds entries 0 to 9
  EXPECT_EQ(read_cluster_chain(short_fat.reader(), 0, 0, 0, 0, 1, 9).error().message,
            "FAT table entry was shorter than expected.");
  EXPECT_EQ(read_cluster_chain(short_fat.reader(), 0, 0, 0, 0, 1, 10 + 128).error().message,
            "FAT table entry was shorter than expected.");

  SectorReader failing = [](uint64_t, uint64_t) -> SysResult<std::vector<uint8_t>> {
    return unexpected(SysError::fixed("device gone"));
  };
  EXPECT_EQ(read_cluster_chain(failing, 0, 1, 1, 1, 1, 2).error().message, "device gone");
}

TEST(MemoryDisk, ReadsLikeATarget) {
  Sector disk = mbr_with({{0, 0x0C, 1, 1}});
  MemoryFile file(disk);
  EXPECT_EQ(*read_sectors_at(file, 0, 1), disk);
  EXPECT_EQ(read_sectors_at(file, 1, 1).error().message, "failed to fill whole buffer");
  EXPECT_EQ(read_sectors_at(file, 0x80000000000000ull, 1).error().message, "Sector offset overflow");
}

}  // namespace
}  // namespace dh
