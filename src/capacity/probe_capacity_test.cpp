// probe_capacity on counterfeit drives of each kind, on healthy ones and on
// a real block device: a counterfeit is reported with a usable size that
// its flash really holds, a healthy drive with all of it, and every transfer
// keeps the raw-drive rules (whole sectors, nothing past the end).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "capacity/probe_blocks.h"
#include "capacity/probe_capacity.h"
#include "platform/sys_error.h"
#include "progress/progress.h"
#include "support/bytes.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/partition_manager.h"
#include "support/loop_device.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;
using Counterfeit = test::FaultFileSystem::Counterfeit;

constexpr const char* kDrive = "\\\\.\\PhysicalDrive5";
constexpr uint64_t kMiB = 1024 * 1024;

uint64_t power_of_two_below(uint64_t n) {
  uint64_t p = 1;
  while (p * 2 < n) p *= 2;
  return p;
}

// Runs the command in this process; its progress lines, parsed, land in `lines`.
json probe(const std::string& target, std::vector<json>* lines = nullptr) {
  ScopedProgressCapture capture;
  auto run = test::run_command_here("probe_capacity", {{"osDevicePath", target}, {"taskId", "t-1"}});
  if (lines != nullptr) {
    for (const std::string& line : capture.lines()) lines->push_back(json::parse(line));
  }
  return run.response;
}

// A block read back names its probe only when it is whole and of this run;
// the verdict follows the signatures found where.
TEST(ProbeBlocks, SignaturesAndVerdicts) {
  const ProbeRunId run{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  ProbeRunId other = run;
  other[15] ^= 1;
  std::vector<uint8_t> block = probe_block(run, 4096, 512);
  EXPECT_EQ(probe_signature(run, block.data(), block.size()), 4096u);
  EXPECT_EQ(block[510], 0);
  EXPECT_EQ(block[511], 0);
  EXPECT_NE(probe_block(run, 0, 512), probe_block(run, 512, 512));
  EXPECT_EQ(probe_signature(other, block.data(), block.size()), std::nullopt);
  std::vector<uint8_t> torn = block;
  torn[300] ^= 0x40;
  EXPECT_EQ(probe_signature(run, torn.data(), torn.size()), std::nullopt);
  const std::vector<uint8_t> zeros(512, 0);
  EXPECT_EQ(probe_signature(run, zeros.data(), zeros.size()), std::nullopt);

  const std::vector<uint64_t> offsets = {0, 512, 1024, 4096};
  struct Case {
    const char* what;
    std::vector<std::optional<uint64_t>> seen;
    std::optional<size_t> first_bad;
    uint64_t usable;
  };
  const Case cases[] = {
      {"every probe held", {0, 512, 1024, 4096}, std::nullopt, 8192},
      {"4096 wraps onto 0", {0, 512, 1024, 0}, 3, 1536},
      {"512 lost its write to 4096's", {0, 4096, 1024, 4096}, 1, 512},
      {"1024 and 4096 read back stale data", {0, 512, std::nullopt, std::nullopt}, 2, 1024},
      {"0 reads back nothing", {std::nullopt, 512, 1024, 4096}, 0, 0},
  };
  for (const Case& c : cases) {
    ProbeVerdict verdict = judge_probes(offsets, c.seen, 512, 8192);
    EXPECT_EQ(verdict.first_bad, c.first_bad) << c.what;
    EXPECT_EQ(verdict.usable_bytes, c.usable) << c.what;
  }
}

TEST(ProbeCapacity, CounterfeitDrivesShowTheirFlashAndHealthyOnesAllOfIt) {
  const uint64_t reported = 256 * kMiB;
  struct Case {
    const char* what;
    std::optional<Counterfeit> flavour;
    uint64_t real;  // what the flash holds
  };
  const Case cases[] = {
      {"addresses wrap", Counterfeit::kWrap, 16 * kMiB},
      {"writes past the flash vanish", Counterfeit::kDropWrites, 11 * kMiB + 12288},
      {"reads past the flash return its last sector", Counterfeit::kLastSector, 11 * kMiB + 12288},
      {"healthy", std::nullopt, reported},
  };
  for (uint32_t sector : {512u, 4096u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", sectors of " + std::to_string(sector));
      test::TempDir dir;
      const std::string backing = dir.file("flash.bin");
      // A used card: what an earlier owner left reads back as stale data.
      test::write_file(backing, test::pattern_bytes(std::min<uint64_t>(c.real, 16 * kMiB), 7));
      test::FaultFileSystem files;
      files.raw_drive(kDrive, backing, sector, reported);
      if (c.flavour) files.counterfeit(kDrive, c.real, *c.flavour);
      ScopedFileSystem scoped(files);

      std::vector<json> lines;
      json response = probe(kDrive, &lines);
      ASSERT_EQ(response["ok"], true) << response.dump();
      const json& answer = response["payload"];
      EXPECT_EQ(answer["reportedBytes"], reported);
      const uint64_t probes = answer["probes"];
      EXPECT_GE(probes, 1024u);
      EXPECT_LE(probes * sector, 64 * kMiB);
      // One whole-sector transfer per probe each way (any other is refused
      // by the raw drive and fails the run).
      EXPECT_EQ(files.writes(kDrive), static_cast<int>(probes));
      EXPECT_EQ(files.reads(kDrive), static_cast<int>(probes));
      EXPECT_GT(answer["writeSpeedBps"].get<uint64_t>(), 0u);
      EXPECT_GT(answer["readSpeedBps"].get<uint64_t>(), 0u);

      const uint64_t usable = answer["usableBytes"];
      if (c.flavour) {
        EXPECT_EQ(answer["fake"], true);
        EXPECT_LE(usable, c.real);
        EXPECT_GE(usable, power_of_two_below(c.real));
        // Nothing below the flash's end fails; the first probe past it does.
        ASSERT_TRUE(answer["firstBadOffset"].is_number());
        EXPECT_GE(answer["firstBadOffset"].get<uint64_t>(), c.real);
        if (*c.flavour == Counterfeit::kWrap) {
          EXPECT_EQ(answer["firstBadOffset"], c.real);
        }
      } else {
        EXPECT_EQ(answer["fake"], false);
        EXPECT_EQ(usable, reported);
        EXPECT_TRUE(answer["firstBadOffset"].is_null());
      }

      ASSERT_GE(lines.size(), 3u);
      const uint64_t total = 2 * probes * sector;
      EXPECT_EQ(lines.front()["bytesProcessed"], 0);
      EXPECT_EQ(lines.back()["bytesProcessed"], total);
      uint64_t before = 0;
      for (const json& line : lines) {
        EXPECT_EQ(line["stage"], "PROBE");
        EXPECT_EQ(line["taskId"], "t-1");
        EXPECT_EQ(line["bytesTotal"], total);
        EXPECT_GE(line["bytesProcessed"].get<uint64_t>(), before);
        before = line["bytesProcessed"];
      }
      EXPECT_EQ(files.open_handles(), 0);
    }
  }
}

TEST(ProbeCapacity, RealBlockDeviceHoldsEveryProbe) {
  test::LoopDevice loop(256 * kMiB);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  json response = probe(loop.path());
  ASSERT_EQ(response["ok"], true) << response.dump();
  EXPECT_EQ(response["payload"]["reportedBytes"], 256 * kMiB);
  EXPECT_EQ(response["payload"]["usableBytes"], 256 * kMiB);
  EXPECT_EQ(response["payload"]["fake"], false);
  EXPECT_TRUE(response["payload"]["firstBadOffset"].is_null());
}

// A plain file is probed as a device of its size: its blocks are
// overwritten, its last bytes included, and it does not grow.
TEST(ProbeCapacity, PlainFileIsProbedWithinItsSize) {
  test::TempDir dir;
  const std::string file = dir.file("card.img");
  const std::string before = test::pattern_bytes(3 * kMiB + 100, 3);
  test::write_file(file, before);
  json response = probe(file);
  ASSERT_EQ(response["ok"], true) << response.dump();
  EXPECT_EQ(response["payload"]["reportedBytes"], before.size());
  EXPECT_EQ(response["payload"]["usableBytes"], before.size());
  EXPECT_EQ(response["payload"]["fake"], false);
  const std::string after = test::read_file(file);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_NE(after.substr(0, 512), before.substr(0, 512));
  EXPECT_NE(after.substr(after.size() - 512), before.substr(before.size() - 512));
}

TEST(ProbeCapacity, FailuresAreAnsweredWithTheirCause) {
  const int io = test::on_windows() ? 23 : 5;  // ERROR_CRC, EIO
  const std::string io_text = SysError::from_os(io).message;
  test::TempDir dir;
  const std::string empty = dir.file("empty.img");
  test::write_file(empty, "");
  test::write_file(dir.file("flash.bin"), "");
  struct Case {
    const char* what;
    std::function<void(test::FaultFileSystem&)> arrange;
    std::string target;
    std::string code;
    std::string message;
  };
  std::vector<Case> cases = {
      {"a write fails", [&](auto& fs) { fs.fail_write(kDrive, 40, io); }, kDrive, "WRITE_FAILED", io_text},
      {"the flush fails", [&](auto& fs) { fs.fail_flush(kDrive, io); }, kDrive, "WRITE_FAILED", io_text},
      {"a read fails", [&](auto& fs) { fs.fail_read(kDrive, 40, io); }, kDrive, "READ_FAILED", io_text},
      {"the readback open is refused", [&](auto& fs) { fs.fail_open(kDrive, OpenMode::kExclusiveRead, 2); }, kDrive,
       "DEVICE_DISCONNECTED", SysError::from_os(2).message},
      {"nothing to hold a block", [](auto&) {}, empty, "UNKNOWN",
       "Cannot probe " + empty + ": its 0 bytes hold no whole probe block of 512 bytes"},
  };
  if (!test::on_windows()) {
    cases.push_back(
        {"no size told", [](auto&) {}, "/dev/zero", "UNKNOWN", "Cannot probe /dev/zero: it does not tell its size"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::FaultFileSystem files;
    files.raw_drive(kDrive, dir.file("flash.bin"), 512, 8 * kMiB);
    c.arrange(files);
    ScopedFileSystem scoped(files);
    json response = probe(c.target);
    EXPECT_EQ(response["errorCode"], c.code) << response.dump();
    EXPECT_EQ(response["errorMessage"], c.message);
    EXPECT_EQ(files.open_handles(), 0);
  }
}

// A volume that stays busy is only dismounted, and anyone may mount it again
// under the probes. As before an image, the probe goes on only once clearing
// the partition table has removed it; a volume the table does not describe
// stays and ends the run with nothing probed.
TEST(ProbeCapacity, AVolumeThatCannotBeLockedIsNeverProbedInside) {
  for (bool described : {true, false}) {
    SCOPED_TRACE(described ? "the volume of an old partition" : "a volume the table does not describe");
    test::TempDir dir;
    const std::string backing = dir.file("card.bin");
    std::string card = test::read_file(test::native_path(WRITE_FIXTURE_DIR "/fat16.img"));
    card.resize(64 * kMiB, '\0');
    test::write_file(backing, card);
    test::FaultFileSystem fs;
    fs.raw_drive(kDrive, backing, 512, card.size());
    test::FakeVolumes volumes;
    test::PartitionManager manager(fs, volumes, kDrive, 5, backing, test::PartitionManager::Trigger::kWriteToLba0);
    if (!described) volumes.add("\\\\?\\Volume{other}\\", {5});
    for (auto& v : volumes.volumes) v.lock_default = os_error_code(SysErrorKind::kAccessDenied);
    ScopedFileSystem scoped_fs(fs);
    ScopedVolumeSystem scoped_volumes(volumes);
    test::FakeClock clock;  // the lock waits pass at once
    ScopedProgressCapture quiet;
    auto answer = probe_capacity(WindowsHelperRequest{"p", "s", "probe_capacity", {{"osDevicePath", kDrive}}}, clock);
    for (const auto& e : manager.events) EXPECT_EQ(e.rfind("refuse", 0), std::string::npos) << e;
    if (described) {
      ASSERT_TRUE(answer.has_value()) << answer.error().message;
      EXPECT_EQ((*answer)["fake"], false);
    } else {
      ASSERT_FALSE(answer.has_value());
      EXPECT_EQ(answer.error().code, ErrorCode::kUnmountFailed);
      EXPECT_EQ(fs.writes(kDrive), 1);  // the partition table's sector only
    }
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

}  // namespace
}  // namespace dh
