// classify_mismatch and its metadata search, on FAT32, FAT16 and FAT12
// images made by sfdisk, mkfs.vfat and mtools, and on hand-built layouts the
// tools cannot make.
#include <gtest/gtest.h>

#include <cstring>

#include "support/fault_file_system.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/classify_mismatch.h"

namespace dh {
namespace {

using nlohmann::json;

uint32_t le(const std::string& b, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
  return v;
}

// Where mkfs.vfat put the sectors, read from the fixture's MBR and BPB.
struct FatFixture {
  explicit FatFixture(const std::string& name = "pi.img") : image(test::read_file(test::fixture(name))) {}

  std::string image;
  uint64_t start = uint64_t{le(image, 446 + 8, 4)} * 512;
  uint32_t bps = le(image, start + 11, 2);
  uint32_t reserved = le(image, start + 14, 2);
  uint32_t fats = static_cast<uint8_t>(image[start + 16]);
  uint32_t spf = le(image, start + 22, 2) != 0 ? le(image, start + 22, 2) : le(image, start + 36, 4);
  uint32_t fsinfo = le(image, start + 48, 2);
  uint32_t backup_boot = le(image, start + 50, 2);

  uint64_t sector(uint64_t s) const { return start + s * bps; }
  uint64_t fat_sector(uint32_t copy, uint32_t nth) const { return sector(reserved + copy * spf + nth); }
};

class ClassifyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(static_cast<uint8_t>(f.image[446 + 4]), 0x0C);
    ASSERT_EQ(f.fats, 2u);
    ASSERT_NE(f.fsinfo, 0u);
    ASSERT_NE(f.backup_boot, 0u);
    target = f.image;
  }
  void flip(uint64_t offset) { target[offset] = static_cast<char>(target[offset] ^ 0x5A); }
  json classify(uint64_t bytes_total = 0) {
    test::write_file(target_path, target);
    auto r = classify_mismatch(image_path, CheckedTarget::as_found(target_path),
                               bytes_total == 0 ? f.image.size() : bytes_total);
    EXPECT_TRUE(r.has_value()) << r.error().message;
    return r.has_value() ? *r : json();
  }
  static json unsafe_at(uint64_t offset, uint64_t before) {
    return {{"safe", false},
            {"message",
             "The readback differs outside known FAT metadata sectors at byte offset " + std::to_string(offset) + "."},
            {"firstUnsafeOffset", offset},
            {"metadataDiffBytes", before}};
  }

  FatFixture f;
  test::TempDir dir;
  std::string image_path = test::fixture("pi.img");
  std::string target_path = dir.file("target.img");
  std::string target;
};

TEST_F(ClassifyFixture, TheToolLayoutGivesFsinfoBackupAndEachFatsFirstTwoEntries) {
  auto ranges = locate_fat_metadata(image_path, f.image.size());
  ASSERT_TRUE(ranges.has_value());
  auto sector = [&](uint64_t s) { return ByteRange{f.sector(s), f.sector(s + 1)}; };
  auto entries = [&](uint64_t s) { return ByteRange{f.sector(s), f.sector(s) + 8}; };
  EXPECT_EQ(*ranges, (std::vector<ByteRange>{sector(f.fsinfo), sector(f.fsinfo + f.backup_boot), entries(f.reserved),
                                             entries(f.reserved + f.spf)}));
}

TEST_F(ClassifyFixture, IdenticalTargetIsSafeWithZeroBytes) {
  EXPECT_EQ(classify(),
            (json{{"safe", true},
                  {"message", "Only known FAT metadata sectors changed after the write (0 differing bytes)."},
                  {"metadataDiffBytes", 0}}));
}

TEST_F(ClassifyFixture, OneFsinfoByteIsSafeAndSingular) {
  flip(f.sector(f.fsinfo) + 488);  // the free-cluster count
  EXPECT_EQ(classify(),
            (json{{"safe", true},
                  {"message", "Only known FAT metadata sectors changed after the write (1 differing byte)."},
                  {"metadataDiffBytes", 1}}));
}

TEST_F(ClassifyFixture, WhatAWindowsMountRewritesIsSafe) {
  for (int i = 0; i < 4; ++i) flip(f.sector(f.fsinfo) + 488 + i);
  for (int i = 0; i < 4; ++i) flip(f.sector(f.fsinfo + f.backup_boot) + 492 + i);
  flip(f.fat_sector(0, 0) + 7);  // the dirty flags in FAT entry 1
  flip(f.fat_sector(1, 0) + 7);
  flip(f.fat_sector(1, 0) + 4);
  json answer = classify();
  EXPECT_EQ(answer["safe"], true);
  EXPECT_EQ(answer["metadataDiffBytes"], 11);
  EXPECT_EQ(answer["message"], "Only known FAT metadata sectors changed after the write (11 differing bytes).");
}

TEST_F(ClassifyFixture, ClusterChainsInAnyFatSectorAreOutsideTheKnownRanges) {
  flip(f.sector(f.fsinfo) + 500);
  flip(f.fat_sector(0, 0) + 3);
  flip(f.fat_sector(0, 1));
  EXPECT_EQ(classify(), unsafe_at(f.fat_sector(0, 1), 2));
  target = f.image;
  flip(f.fat_sector(1, 1) + 100);
  EXPECT_EQ(classify(), unsafe_at(f.fat_sector(1, 1) + 100, 0));
}

// Each FAT type's first two entries in every copy are bookkeeping; the byte
// right after them starts the chain of cluster 2 (the root folder's on FAT32,
// the first file's on FAT16 and FAT12), where a change is damage.
TEST_F(ClassifyFixture, TheFirstTwoEntriesOfEachFatCopyAreSafeAndTheNextByteIsNot) {
  struct FatImage {
    std::string name;
    uint8_t partition_type;
    uint64_t entry_bytes;
    size_t fsinfo_ranges;
  };
  for (const FatImage& fat :
       {FatImage{"pi.img", 0x0C, 8, 2}, FatImage{"fat16.img", 0x0E, 4, 0}, FatImage{"fat12.img", 0x01, 3, 0}}) {
    SCOPED_TRACE(fat.name);
    f = FatFixture(fat.name);
    image_path = test::fixture(fat.name);
    ASSERT_EQ(static_cast<uint8_t>(f.image[446 + 4]), fat.partition_type);
    ASSERT_EQ(f.fats, 2u);
    // Both copies as mkfs.vfat wrote them: the media descriptor first, the
    // same bytes in each.
    ASSERT_EQ(static_cast<uint8_t>(f.image[f.fat_sector(1, 0)]), 0xF8);
    ASSERT_EQ(f.image.compare(f.fat_sector(1, 0), f.bps, f.image, f.fat_sector(0, 0), f.bps), 0);
    for (uint32_t copy : {0u, 1u}) {
      const uint64_t entries = f.fat_sector(copy, 0);
      target = f.image;
      for (uint64_t i = 0; i < fat.entry_bytes; ++i) flip(entries + i);
      json answer = classify();
      EXPECT_EQ(answer["safe"], true) << copy;
      EXPECT_EQ(answer["metadataDiffBytes"], fat.entry_bytes) << copy;
      target = f.image;
      flip(entries + fat.entry_bytes - 1);
      flip(entries + fat.entry_bytes);
      EXPECT_EQ(classify(), unsafe_at(entries + fat.entry_bytes, 1)) << copy;
    }
    // Only FAT32 has FSInfo sectors ahead of the copies' entries.
    auto ranges = locate_fat_metadata(image_path, f.image.size());
    ASSERT_TRUE(ranges.has_value());
    ASSERT_EQ(ranges->size(), fat.fsinfo_ranges + 2);
    EXPECT_EQ(std::vector<ByteRange>(ranges->end() - 2, ranges->end()),
              (std::vector<ByteRange>{{f.fat_sector(0, 0), f.fat_sector(0, 0) + fat.entry_bytes},
                                      {f.fat_sector(1, 0), f.fat_sector(1, 0) + fat.entry_bytes}}));
  }
}

TEST_F(ClassifyFixture, BootSectorsAndNeighboursAreOutside) {
  flip(f.start + 67);  // the volume serial number
  EXPECT_EQ(classify(), unsafe_at(f.start + 67, 0));
  target = f.image;
  flip(f.sector(f.backup_boot) + 67);
  EXPECT_EQ(classify(), unsafe_at(f.sector(f.backup_boot) + 67, 0));
  target = f.image;
  flip(f.sector(f.fsinfo + 1));  // just past the FSInfo sector
  EXPECT_EQ(classify(), unsafe_at(f.sector(f.fsinfo + 1), 0));
  target = f.image;
  flip(f.sector(f.fsinfo) - 1);  // just before it
  EXPECT_EQ(classify(), unsafe_at(f.sector(f.fsinfo) - 1, 0));
  target = f.image;
  flip(0);  // the MBR
  EXPECT_EQ(classify(), unsafe_at(0, 0));
}

TEST_F(ClassifyFixture, RangesAreCutAtBytesTotal) {
  const uint64_t fsinfo = f.sector(f.fsinfo);
  flip(fsinfo + 99);
  EXPECT_EQ(classify(fsinfo + 100)["metadataDiffBytes"], 1);
  auto cut = locate_fat_metadata(image_path, fsinfo + 100);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(*cut, (std::vector<ByteRange>{{fsinfo, fsinfo + 100}}));
  // A range past bytesTotal is dropped, and the search does not move on.
  auto none = locate_fat_metadata(image_path, fsinfo);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST_F(ClassifyFixture, NoUsableLayoutIsAnAnswerNotAnError) {
  const json unable = {{"safe", false},
                       {"message", "Unable to locate known FAT metadata sectors in the prepared image."}};
  EXPECT_EQ(classify(1), unable) << "bytesTotal 1 ends before the partition starts";
  auto zero = classify_mismatch(image_path, CheckedTarget::as_found(target_path), 0);
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(*zero, unable);

  image_path = dir.file("pi.img");
  std::string unsigned_mbr = f.image;
  unsigned_mbr[511] = 0;
  test::write_file(image_path, unsigned_mbr);
  EXPECT_EQ(classify(), unable);

  // The boot partition's BPB wiped; the Linux partition is not FAT-typed.
  std::string no_bpb = f.image;
  std::memset(&no_bpb[f.start + 11], 0, 2);
  test::write_file(image_path, no_bpb);
  EXPECT_EQ(classify(), unable);
}

TEST_F(ClassifyFixture, ShortSidesAndMissingFiles) {
  auto run = [&](const std::string& image, const std::string& tgt, uint64_t total) {
    auto r = classify_mismatch(image, CheckedTarget::as_found(tgt), total);
    EXPECT_FALSE(r.has_value());
    return r.has_value() ? HelperError{} : r.error();
  };
  test::write_file(target_path, f.image.substr(0, f.image.size() - 1));
  EXPECT_EQ(run(image_path, target_path, f.image.size()),
            (HelperError{ErrorCode::kDeviceDisconnected, "failed to fill whole buffer"}));
  test::write_file(target_path, f.image + "x");
  EXPECT_EQ(run(test::fixture("pi.img"), target_path, f.image.size() + 1),
            (HelperError{ErrorCode::kImageMissing, "failed to fill whole buffer"}));
  EXPECT_EQ(run(dir.file("none.img"), target_path, 100), (HelperError{ErrorCode::kUnknown, os_error_text(2)}));
  EXPECT_EQ(run(image_path, dir.file("none.img"), f.image.size()),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(2)}));
  test::write_file(dir.file("tiny.img"), std::string(511, '\0'));
  EXPECT_EQ(run(dir.file("tiny.img"), target_path, 100),
            (HelperError{ErrorCode::kUnknown, "failed to fill whole buffer"}));

  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  const int eio = test::io_error_code();
  fs.fail_read(image_path, 0, eio);  // the MBR read of the metadata search
  EXPECT_EQ(run(image_path, target_path, f.image.size()), (HelperError{ErrorCode::kUnknown, os_error_text(eio)}));
  fs.fail_read(target_path, 2, eio);
  EXPECT_EQ(run(image_path, target_path, f.image.size()),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(eio)}));
  fs.fail_seek(target_path, eio);
  EXPECT_EQ(run(image_path, target_path, f.image.size()),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(eio)}));
  EXPECT_EQ(fs.open_handles(), 0);
}

// Hand-built layouts: acceptance of partition entries and boot sectors. By
// default a FAT32 one: 69,990 clusters claimed.
struct Bpb {
  uint16_t bps = 512;
  uint8_t spc = 1;
  uint16_t reserved = 4;
  uint8_t fats = 2;
  uint16_t root_entries = 0;
  uint16_t spf16 = 0;
  uint32_t total = 70000;
  uint32_t spf = 3;
  uint16_t fsinfo = 1;
  uint16_t backup = 2;
  bool signature = true;
};

void put_le(std::string& b, size_t at, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void put_entry(std::string& img, int index, uint8_t type, uint32_t lba, uint32_t count) {
  size_t e = 446 + 16 * static_cast<size_t>(index);
  img[e + 4] = static_cast<char>(type);
  put_le(img, e + 8, lba, 4);
  put_le(img, e + 12, count, 4);
}
void put_boot(std::string& img, uint64_t at, const Bpb& b) {
  put_le(img, at + 11, b.bps, 2);
  img[at + 13] = static_cast<char>(b.spc);
  put_le(img, at + 14, b.reserved, 2);
  img[at + 16] = static_cast<char>(b.fats);
  put_le(img, at + 17, b.root_entries, 2);
  put_le(img, at + 22, b.spf16, 2);
  put_le(img, at + 32, b.total, 4);
  put_le(img, at + 36, b.spf, 4);
  put_le(img, at + 48, b.fsinfo, 2);
  put_le(img, at + 50, b.backup, 2);
  if (b.signature) {
    img[at + 510] = '\x55';
    img[at + 511] = '\xAA';
  }
}

// Entry 0 Linux, entry 1 FAT at LBA 0, entry 2 FAT at LBA 16 (under test),
// entry 3 FAT at LBA 64 with the default layout.
std::string layout(uint8_t entry2_type, const Bpb& entry2, uint32_t entry2_sectors = 48) {
  std::string img(128 * 512, '\0');
  img[510] = '\x55';
  img[511] = '\xAA';
  put_entry(img, 0, 0x83, 8, 8);
  put_entry(img, 1, 0x0C, 0, 16);
  put_entry(img, 2, entry2_type, 16, entry2_sectors);
  put_entry(img, 3, 0x0E, 64, 64);
  put_boot(img, 8 * 512, Bpb{});
  put_boot(img, 16 * 512, entry2);
  put_boot(img, 64 * 512, Bpb{});
  return img;
}

std::vector<ByteRange> ranges_of(const std::string& img, uint64_t bytes_total = 128 * 512) {
  test::TempDir dir;
  test::write_file(dir.file("l.img"), img);
  auto r = locate_fat_metadata(dir.file("l.img"), bytes_total);
  EXPECT_TRUE(r.has_value());
  return r.has_value() ? *r : std::vector<ByteRange>{{1, 0}};
}

std::vector<ByteRange> default_ranges(uint64_t lba) {
  uint64_t s = lba * 512;
  return {{s + 512, s + 1024}, {s + 1536, s + 2048}, {s + 2048, s + 2056}, {s + 3584, s + 3592}};
}

TEST(LocateFatMetadata, UnusableBootSectorsAreSkippedForTheNextEntry) {
  const auto fourth = default_ranges(64);
  std::vector<Bpb> unusable(9);
  unusable[0].signature = false;
  unusable[1].bps = 256;
  unusable[2].bps = 768;
  unusable[3].bps = 8192;
  unusable[4].spf = 0;
  unusable[5].fats = 0;
  unusable[6].reserved = 0;
  // No cluster count, so no FAT type: no sectors per cluster, or fewer
  // sectors in all than the reserved ones and the FATs.
  unusable[7].spc = 0;
  unusable[8].total = 9;
  for (size_t i = 0; i < unusable.size(); ++i) EXPECT_EQ(ranges_of(layout(0x0C, unusable[i])), fourth) << i;
  // Type bytes that are not FAT are skipped whatever the boot sector holds.
  for (uint8_t type : {0x00, 0x05, 0x07, 0x0D, 0x83, 0xEE}) EXPECT_EQ(ranges_of(layout(type, Bpb{})), fourth) << +type;
  for (uint8_t type : {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E, 0xEF}) {
    EXPECT_EQ(ranges_of(layout(type, Bpb{})), default_ranges(16)) << +type;
  }
}

TEST(LocateFatMetadata, SectorNumbersOutsideTheReservedAreaAreLeftOut) {
  Bpb b;
  b.fsinfo = 4;  // not below the reserved count
  EXPECT_EQ(ranges_of(layout(0x0C, b)),
            (std::vector<ByteRange>{{16 * 512 + 2048, 16 * 512 + 2056}, {16 * 512 + 3584, 16 * 512 + 3592}}));
  b.fsinfo = 1;
  b.backup = 3;  // 1 + 3 is not below 4
  EXPECT_EQ(ranges_of(layout(0x0C, b)).size(), 3u);
  b.fsinfo = 0;  // no FSInfo: no backup either
  b.backup = 1;
  EXPECT_EQ(ranges_of(layout(0x0C, b)).size(), 2u);
  b = Bpb{};
  b.bps = 4096;
  b.spf = 1;
  b.fats = 3;
  // 4096-byte sectors in a partition of 47 sectors of 512: FSInfo sectors of
  // 4096 bytes, still 8 bytes of each FAT, the third FAT beyond the
  // partition's end; bytesTotal cuts the second FAT's entries.
  const uint64_t s = 16 * 512;
  EXPECT_EQ(ranges_of(layout(0x0C, b, 47), s + 20484),
            (std::vector<ByteRange>{
                {s + 4096, s + 8192}, {s + 12288, s + 16384}, {s + 16384, s + 16392}, {s + 20480, s + 20484}}));
}

TEST(LocateFatMetadata, OnFat16TheFatSizeIsTheShortFieldAndTheFsinfoOffsetsAreNoSectorNumbers) {
  // 10,000 sectors: 4 reserved, two FATs of 2, 32 of root folder, 9,960
  // clusters. The FAT32 fields hold what a FAT16 volume keeps there (drive
  // number, serial, label), here small enough to pass for sector numbers.
  Bpb b;
  b.root_entries = 512;
  b.spf16 = 2;
  b.total = 10000;
  const uint64_t s = 16 * 512;
  EXPECT_EQ(ranges_of(layout(0x0E, b)), (std::vector<ByteRange>{{s + 2048, s + 2052}, {s + 3072, s + 3076}}));
}

TEST(LocateFatMetadata, AFirstUsableLayoutBeyondBytesTotalEndsTheSearch) {
  // Entry 2's boot sector is covered, its FSInfo is not; entry 3 is never
  // looked at.
  EXPECT_TRUE(ranges_of(layout(0x0C, Bpb{}), 16 * 512 + 512).empty());
}

TEST(ClassifyMismatch, PayloadFieldsAreCheckedInOrder) {
  auto error_of = [](const json& payload) {
    auto r = handle_classify_mismatch(WindowsHelperRequest{"1", "s", "classify_mismatch", payload});
    EXPECT_FALSE(r.has_value());
    return r.has_value() ? HelperError{} : r.error();
  };
  EXPECT_EQ(error_of({{"bytesTotal", "5"}}), (HelperError{ErrorCode::kUnknown, "Missing imagePath payload field"}));
  EXPECT_EQ(error_of({{"imagePath", "x.img"}, {"bytesTotal", "5"}}),
            (HelperError{ErrorCode::kUnknown, "Missing bytesTotal payload field"}));
  EXPECT_EQ(error_of({{"imagePath", "x.img"}, {"bytesTotal", 5}, {"deviceId", 3}}),
            (HelperError{ErrorCode::kUnknown, "Missing osDevicePath/deviceId payload field"}));
}

TEST(ClassifyMismatch, TheBuiltHelperAnswersThroughDispatch) {
  test::TempDir dir;
  std::string image = test::read_file(test::fixture("pi.img"));
  FatFixture f;
  image[f.sector(f.fsinfo) + 490] ^= 1;
  test::write_file(dir.file("target.img"), image);
  auto run = test::run_command("classify_mismatch", {{"imagePath", test::fixture("pi.img")},
                                                     {"bytesTotal", static_cast<double>(image.size()) + 0.75},
                                                     {"osDevicePath", dir.file("target.img")}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out,
            "{\"id\":\"t\",\"ok\":true,\"payload\":{\"message\":\"Only known FAT metadata sectors changed "
            "after the write (1 differing byte).\",\"metadataDiffBytes\":1,\"safe\":true}}\n");
}

}  // namespace
}  // namespace dh
