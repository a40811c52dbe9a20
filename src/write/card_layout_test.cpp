// write_image against a model of what Windows does around the card while an
// image streams onto it (test::PartitionManager): the partition manager
// turning a partition table into volumes, the file systems mounting them,
// marking them dirty and refusing raw writes inside them.
#include <gtest/gtest.h>

#include "progress/progress.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/partition_manager.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/write_image.h"

namespace dh {
namespace {

using nlohmann::json;
using test::PartitionManager;
using Trigger = PartitionManager::Trigger;

constexpr const char* kDrive = "\\\\.\\PhysicalDrive6";
constexpr uint32_t kDisk = 6;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kCard = 64 * kMiB;

const char* trigger_name(Trigger t) {
  switch (t) {
    case Trigger::kUpdateProperties: return "layout read again on IOCTL_DISK_UPDATE_PROPERTIES";
    case Trigger::kWriteHandleClose: return "layout read again when a write handle closes";
    case Trigger::kWriteToLba0: return "layout read again on a write to LBA 0";
  }
  return "?";
}

// A used card: the Pi image's layout (FAT32 boot at 4 MiB, a Linux root
// behind it) with its volumes mounted, in a raw drive of 64 MiB.
struct UsedCard {
  test::TempDir dir;
  std::string backing = dir.file("card.bin");
  std::string old = test::read_file(test::fixture("pi.img"));
  test::FaultFileSystem fs;
  test::FakeVolumes volumes;
  std::unique_ptr<PartitionManager> manager;
  ScopedFileSystem scoped_fs{fs};
  ScopedVolumeSystem scoped_volumes{volumes};

  explicit UsedCard(Trigger trigger) {
    std::string card = old;
    card.resize(kCard, '\x5A');
    test::write_file(backing, card);
    fs.raw_drive(kDrive, backing, 512, kCard);
    manager = std::make_unique<PartitionManager>(fs, volumes, kDrive, kDisk, backing, trigger);
    before = test::read_file(backing);
  }
  std::string before;  // what the card holds once its volumes are mounted

  struct Run {
    HandlerResult result;
    std::vector<std::string> lines;
  };
  Run write(const json& extra) {
    json payload = {{"imagePath", test::fixture("fat16.img")}, {"osDevicePath", kDrive}, {"taskId", "t"}};
    payload.update(extra);
    ScopedProgressCapture capture;
    auto result = write_image(test::write_request(payload), clock);
    return Run{std::move(result), capture.lines()};
  }
  test::FakeClock clock;
};

// The new image (FAT16 at 1 MiB, so its first chunk holds the table, the
// boot sector and the FATs) is written and verified without a refused write
// or a mismatch whenever the system reads the layout, and afterwards the
// system knows the new partition and not the old ones.
TEST(CardLayout, NothingOfTheNewImageIsMountedBeforeItIsWrittenAndReadBack) {
  const std::string image = test::read_file(test::fixture("fat16.img"));
  for (Trigger trigger : {Trigger::kUpdateProperties, Trigger::kWriteHandleClose, Trigger::kWriteToLba0}) {
    for (bool skip : {false, true}) {
      SCOPED_TRACE(std::string(trigger_name(trigger)) + (skip ? ", no readback" : ", read back"));
      UsedCard card(trigger);
      const std::vector<std::string> old_volumes = card.manager->present();
      ASSERT_EQ(old_volumes.size(), 2u);
      auto run = card.write({{"skipReadback", skip}});
      ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
      const json& p = *run.result;
      EXPECT_EQ(p["sourceSha256"], test::sha256_hex(image));
      if (!skip) {
        EXPECT_EQ(p["observedSha256"], p["sourceSha256"]);
        EXPECT_EQ(p["verifyAttempts"], 1);
        EXPECT_EQ(p["mismatch"], nullptr);
      }
      for (const auto& e : card.manager->events) EXPECT_EQ(e.rfind("refuse", 0), std::string::npos) << e;
      EXPECT_EQ(card.manager->present(), std::vector<std::string>{card.manager->volume_name(2048, 32768)});
      // The card holds the image (but for what the mount marked dirty), and
      // no trace of the old layout behind it.
      const std::string after = test::read_file(card.backing);
      EXPECT_TRUE(after.substr(0, kMiB) == image.substr(0, kMiB));
      EXPECT_TRUE(after.substr(kCard - kMiB) == std::string(kMiB, '\0'));
      EXPECT_EQ(card.fs.open_handles(), 0);
    }
  }
}

// A write that fails anywhere (clearing the old table, clearing the rest of
// the old layout, streaming, committing the held-back start), with or without
// the readback, is WRITE_FAILED and leaves a card without a partition table,
// or, when the old table could not be cleared, the card as it was.
TEST(CardLayout, AFailedWriteAnywhereLeavesNoPartitionTable) {
  for (bool skip : {false, true}) {
    int writes = 0;
    {
      UsedCard clean(Trigger::kWriteToLba0);
      ASSERT_TRUE(clean.write({{"skipReadback", skip}}).result.has_value());
      writes = clean.fs.writes(kDrive);
    }
    const std::pair<const char*, int> cases[] = {{"the old table", 0},
                                                 {"the rest of the first MiB", 1},
                                                 {"the last MiB", 2},
                                                 {"the first streamed chunk", 3},
                                                 {"the held-back start", writes - 1}};
    for (const auto& [what, call] : cases) {
      SCOPED_TRACE(std::string(what) + (skip ? ", no readback" : ", read back"));
      UsedCard card(Trigger::kWriteToLba0);
      card.fs.fail_write(kDrive, call, test::io_error_code());
      auto run = card.write({{"skipReadback", skip}});
      ASSERT_FALSE(run.result.has_value());
      EXPECT_EQ(run.result.error(), (HelperError{ErrorCode::kWriteFailed, os_error_text(test::io_error_code())}));
      const std::string after = test::read_file(card.backing);
      if (call == 0) {
        EXPECT_TRUE(after == card.before);
      } else {
        EXPECT_FALSE(after[510] == '\x55' && after[511] == '\xAA');
      }
      EXPECT_EQ(card.fs.open_handles(), 0);
    }
  }
}

// A volume that stays busy (an Explorer window, a scan of a card just put in)
// is dismounted but cannot be locked, so anyone may mount it again. The image
// goes on only once clearing the old table has removed it; a volume the table
// does not describe stays, and ends the run before the image's first byte.
TEST(CardLayout, AVolumeThatCannotBeLockedIsNeverWrittenInside) {
  for (Trigger trigger : {Trigger::kUpdateProperties, Trigger::kWriteHandleClose, Trigger::kWriteToLba0}) {
    SCOPED_TRACE(trigger_name(trigger));
    UsedCard card(trigger);
    for (auto& v : card.volumes.volumes) v.lock_default = os_error_code(SysErrorKind::kAccessDenied);
    auto run = card.write(json::object());
    ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
    EXPECT_EQ((*run.result)["verifyAttempts"], 1);
    for (const auto& e : card.manager->events) EXPECT_EQ(e.rfind("refuse", 0), std::string::npos) << e;

    UsedCard spanned(trigger);
    const std::string other = "\\\\?\\Volume{other}\\";
    spanned.volumes.add(other, {kDisk}).lock_default = os_error_code(SysErrorKind::kAccessDenied);
    auto refused = spanned.write(json::object());
    ASSERT_FALSE(refused.result.has_value());
    EXPECT_EQ(refused.result.error(),
              (HelperError{ErrorCode::kUnmountFailed,
                           "Unable to lock mounted volume " + other +
                               ": it stayed on the target after its partition table was cleared. Close File Explorer "
                               "windows and other programs using this target, then try again."}));
    EXPECT_TRUE(test::read_file(spanned.backing).substr(512) == spanned.before.substr(512));
    EXPECT_EQ(spanned.fs.open_handles(), 0);
  }
}

// What is held back is what lies in front of the first partition, read from
// real tables: an MBR at 4 MiB (the Pi image) and at 1 MiB, a GPT at 1 MiB, an
// old partition at sector 63, no table at all; in 512- and 4096-byte units.
TEST(CardLayout, TheHeldBackStartEndsWhereTheFirstPartitionBegins) {
  auto start_of = [](const std::string& bytes, uint32_t unit) {
    auto first = reinterpret_cast<const uint8_t*>(bytes.data());
    return held_start_length({first, std::min<size_t>(bytes.size(), 4 * kMiB)}, unit);
  };
  std::string sector63 = test::read_file(test::fixture("fat16.img")).substr(0, kMiB);
  sector63[446 + 8] = 63;  // the first entry's start LBA, little-endian
  sector63[446 + 9] = 0;
  std::string gpt_corrupt = test::read_file(test::fixture("gpt-old.img")).substr(0, kMiB);
  gpt_corrupt[512 + 72 + 7] = '\x7F';  // the entries' LBA far beyond the bytes
  const struct {
    const char* what;
    std::string bytes;
    uint64_t unit512, unit4096;
  } cases[] = {
      {"MBR, boot at 4 MiB", test::read_file(test::fixture("pi.img")), 4 * kMiB, 4 * kMiB},
      {"MBR, boot at 1 MiB", test::read_file(test::fixture("fat16.img")), kMiB, kMiB},
      {"GPT, first partition at 1 MiB", test::read_file(test::fixture("gpt-old.img")).substr(0, 4 * kMiB), kMiB, kMiB},
      {"GPT whose entries lie elsewhere", gpt_corrupt, 4 * kMiB, 4 * kMiB},
      {"MBR, partition at sector 63", sector63, 63 * 512, 7 * 4096},
      {"no table", test::pattern_bytes(5 * kMiB), 4 * kMiB, 4 * kMiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(start_of(c.bytes, 512), c.unit512);
    EXPECT_EQ(start_of(c.bytes, 4096), c.unit4096);
  }
}

}  // namespace
}  // namespace dh
