// prepare_disk, detach_target, finalize_disk and read_sectors: through the
// built helper with the fake powershell, and in process with fake volumes and
// targets where the order of locks, opens and releases matters.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "rawdisk/target_commands.h"
#include "support/bytes.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/loop_device.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;
using test::ByteVector;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kPrepare4 =
    "$ErrorActionPreference = 'Stop'; Set-Disk -Number 4 -IsReadOnly $false -ErrorAction Stop";
const std::string kFinalize12 =
    "$ErrorActionPreference = 'Stop'; Set-Disk -Number 12 -IsOffline $false -ErrorAction Stop";
const std::string kDetach29 =
    R"($ErrorActionPreference = 'Continue'; $partitions = Get-Partition -DiskNumber 29 -ErrorAction SilentlyContinue; )"
    R"(if ($partitions) { foreach ($p in $partitions) { if ($p.DriveLetter -and $p.DriveLetter -ne [char]0) { )"
    R"($path = $p.DriveLetter.ToString() + ':\'; Remove-PartitionAccessPath -DiskNumber 29 -PartitionNumber )"
    R"($p.PartitionNumber -AccessPath $path -ErrorAction SilentlyContinue; } $vol = Get-Volume -Partition $p )"
    R"(-ErrorAction SilentlyContinue; if ($vol) { Dismount-Volume -InputObject $vol -ErrorAction SilentlyContinue } } })";
// NOLINTEND(cert-err58-cpp)

std::string error_line(const std::string& code, const std::string& message) {
  // The response keeps id, ok, errorCode, errorMessage in this order.
  return "{\"id\":\"t\",\"ok\":false,\"errorCode\":" + json(code).dump() + ",\"errorMessage\":" + json(message).dump() +
         "}\n";
}

std::string ok_line(const json& payload) {
  // The response keeps id, ok, payload in this order.
  return "{\"id\":\"t\",\"ok\":true,\"payload\":" + payload.dump() + "}\n";
}

std::string hex(const ByteVector& b, size_t from, size_t len) { return hex_encode(b.data() + from, len); }

TEST(TargetCommands, EveryCommandNeedsATarget) {
  test::FakePowerShell ps;
  for (const char* command : {"prepare_disk", "detach_target", "finalize_disk", "read_sectors"}) {
    for (const json& payload : {json::object(), json{{"deviceId", "disk4"}}, json{{"osDevicePath", 4}},
                                json{{"startLba", 0}, {"sectorCount", 1}}}) {
      auto run = test::run_command(command, payload);
      EXPECT_EQ(run.out, error_line("UNKNOWN", "Missing osDevicePath/deviceId payload field")) << command;
    }
  }
  EXPECT_EQ(ps.calls(), 0);
}

TEST(PrepareDisk, ClearsReadOnlyWithSetDisk) {
  test::FakePowerShell ps;
  ps.answer(0, "ignored output\n");
  auto run = test::run_command("prepare_disk", {{"deviceId", "physicaldrive4"}});
  EXPECT_EQ(run.out, ok_line({{"osDevicePath", "\\\\.\\PhysicalDrive4"}, {"prepared", true}}));
  ASSERT_EQ(ps.calls(), 1);
  EXPECT_EQ(ps.script(0), kPrepare4);

  // The path is answered as given; leading zeros vanish from the script.
  auto given = test::run_command("prepare_disk", {{"osDevicePath", "\\\\?\\physicalDRIVE004"}});
  EXPECT_EQ(given.payload()["osDevicePath"], "\\\\?\\physicalDRIVE004");
  EXPECT_EQ(ps.script(1), kPrepare4);
}

TEST(PrepareAndFinalize, FailuresAnswerTheirOwnTexts) {
  test::FakePowerShell ps;
  EXPECT_EQ(test::run_command("prepare_disk", {{"osDevicePath", "E:"}, {"deviceId", "PhysicalDrive2"}}).out,
            error_line("UNKNOWN", "Unable to parse drive number from E:"));
  EXPECT_EQ(test::run_command("finalize_disk", {{"osDevicePath", "\\\\.\\PhysicalDrive"}}).out,
            error_line("UNKNOWN", "Could not parse PhysicalDrive number from \\\\.\\PhysicalDrive"));
  EXPECT_EQ(ps.calls(), 0);

  // PowerShell on a German system: the text must arrive as written.
  const std::string write_protected = "Set-Disk : Der Datentr\xC3\xA4ger ist schreibgesch\xC3\xBCtzt.";
  ps.answer(0, "", write_protected + "\r\n", 1);
  ps.answer(1, "partial", "", 2);
  EXPECT_EQ(test::run_command("prepare_disk", {{"deviceId", "PhysicalDrive4"}}).out,
            error_line("UNKNOWN", write_protected));
  EXPECT_EQ(test::run_command("finalize_disk", {{"deviceId", "PhysicalDrive12"}}).out,
            error_line("UNKNOWN", "PowerShell command failed"));
  EXPECT_EQ(ps.script(1), kFinalize12);
}

TEST(PrepareAndFinalize, MissingPowerShellIsToolMissing) {
  test::NoPowerShell none;
  for (const char* command : {"prepare_disk", "finalize_disk"}) {
    auto run = test::run_command_here(command, {{"deviceId", "PhysicalDrive1"}});
    EXPECT_EQ(run.response["errorCode"], "TOOL_MISSING") << command;
    EXPECT_NE(run.response["errorMessage"].get<std::string>().find("(os error 2)"), std::string::npos);
  }
}

TEST(FinalizeDisk, BringsTheDiskOnline) {
  test::FakePowerShell ps;
  auto run = test::run_command("finalize_disk", {{"osDevicePath", "\\\\.\\PhysicalDrive12"}});
  EXPECT_EQ(run.out, ok_line({{"finalized", true}}));
  EXPECT_EQ(ps.script(0), kFinalize12);
}

TEST(DetachTarget, ProblemsAreWarningsNeverErrors) {
  test::FakePowerShell ps;
  auto letter = test::run_command("detach_target", {{"osDevicePath", "E:"}});
  EXPECT_EQ(letter.out, ok_line({{"detached", true}, {"warnings", {"Could not parse PhysicalDrive number from E:"}}}));
  EXPECT_EQ(ps.calls(), 0);

  auto clean = test::run_command("detach_target", {{"deviceId", "PhysicalDrive29"}});
  EXPECT_EQ(clean.out, ok_line({{"detached", true}, {"warnings", json::array()}}));
  ASSERT_EQ(ps.calls(), 1);
  EXPECT_EQ(ps.script(0), kDetach29);

  ps.answer(1, "", "Get-Partition : boom\n", 1);
  auto failed = test::run_command("detach_target", {{"deviceId", "PhysicalDrive29"}});
  EXPECT_EQ(failed.out,
            ok_line({{"detached", true}, {"warnings", {"PowerShell detach step (UNKNOWN): Get-Partition : boom"}}}));
}

TEST(DetachTarget, MissingPowerShellBecomesAWarning) {
  test::NoPowerShell none;
  auto run = test::run_command_here("detach_target", {{"osDevicePath", "\\\\.\\PhysicalDrive29"}});
  ASSERT_EQ(run.response["ok"], true) << run.out;
  ASSERT_EQ(run.payload()["warnings"].size(), 1u);
  std::string warning = run.payload()["warnings"][0];
  EXPECT_EQ(warning.rfind("PowerShell detach step (TOOL_MISSING): ", 0), 0u) << warning;
  EXPECT_NE(warning.find("(os error 2)"), std::string::npos) << warning;
}

class ReadSectorsCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = test::pattern(kSectors * 512);
    path_ = dir_.file("card.img");
    test::write_file(path_, std::string(data_.begin(), data_.end()));
  }
  test::HelperRun read(const json& start, const json& count) {
    json payload{{"osDevicePath", path_}};
    if (!start.is_discarded()) payload["startLba"] = start;
    if (!count.is_discarded()) payload["sectorCount"] = count;
    return test::run_command("read_sectors", payload);
  }
  static constexpr size_t kSectors = 16384 + 4;
  test::TempDir dir_;
  std::string path_;
  ByteVector data_;
};

TEST_F(ReadSectorsCommand, ReadsAPlainFileLikeADrive) {
  EXPECT_EQ(read(1, 2).out, ok_line({{"dataHex", hex(data_, 512, 1024)}}));
  EXPECT_EQ(read(3, 1.9).payload()["dataHex"], hex(data_, 3 * 512, 512));
  auto all = read(4, 16384);
  ASSERT_EQ(all.response["ok"], true);
  const std::string& text = all.payload()["dataHex"].get_ref<const std::string&>();
  EXPECT_EQ(text.size(), 16777216u);
  EXPECT_EQ(text, hex(data_, 4 * 512, 16384 * 512));
}

TEST_F(ReadSectorsCommand, FieldAndRangeErrors) {
  const json absent = json(json::value_t::discarded);
  EXPECT_EQ(read("0", 1).out, error_line("UNKNOWN", "Missing startLba payload field"));
  EXPECT_EQ(read(absent, 1).out, error_line("UNKNOWN", "Missing startLba payload field"));
  EXPECT_EQ(read(0, absent).out, error_line("UNKNOWN", "Missing sectorCount payload field"));
  EXPECT_EQ(read(0, "1").out, error_line("UNKNOWN", "Missing sectorCount payload field"));
  EXPECT_EQ(read(0, 16385).out, error_line("UNKNOWN", "sectorCount must be between 1 and 16384 (got 16385)"));
  for (const json& zero : {json(0), json(-1), json(0.5)}) {
    EXPECT_EQ(read(0, zero).out, error_line("UNKNOWN", "sectorCount must be between 1 and 16384 (got 0)"));
  }
  EXPECT_EQ(read(0, 1e30).out,
            error_line("UNKNOWN", "sectorCount must be between 1 and 16384 (got 18446744073709551615)"));
}

TEST_F(ReadSectorsCommand, ReadFailures) {
  EXPECT_EQ(read(36028797018963968ull, 1).out, error_line("READ_FAILED", "Sector offset overflow"));
  EXPECT_EQ(read(kSectors - 1, 2).out, error_line("READ_FAILED", "failed to fill whole buffer"));
  auto gone = test::run_command("read_sectors",
                                {{"osDevicePath", dir_.file("unplugged.img")}, {"startLba", 0}, {"sectorCount", 1}});
  EXPECT_EQ(gone.out, error_line("READ_FAILED", os_error_text(2)));
  // A drive that is not there: nothing to lock, and the open fails.
  auto absent =
      test::run_command("read_sectors", {{"deviceId", "PhysicalDrive31"}, {"startLba", 0}, {"sectorCount", 1}});
  EXPECT_EQ(absent.response["errorCode"], "READ_FAILED") << absent.out;
  EXPECT_NE(absent.response["errorMessage"].get<std::string>().find(" (os error "), std::string::npos);
  // A folder is refused: Windows denies access to it, POSIX calls it a
  // directory.
  auto folder = test::run_command("read_sectors", {{"osDevicePath", dir_.path()}, {"startLba", 0}, {"sectorCount", 1}});
  EXPECT_EQ(folder.out, error_line("READ_FAILED", os_error_text(test::on_windows() ? 5 : EISDIR)));
}

TEST(ReadSectorsLoopDevice, ReadsARealBlockDevice) {
  if (test::on_windows()) GTEST_SKIP() << "loop devices exist only on Linux";
  test::TempDir dir;
  std::string backing = dir.file("disk.img");
  test::write_file(backing, "");
  std::filesystem::resize_file(backing, 8 << 20);  // sparse
  ByteVector sectors = test::pattern(3 * 512);
  {
    std::fstream f(backing, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(2048 * 512);
    f.write(reinterpret_cast<const char*>(sectors.data()), static_cast<std::streamsize>(sectors.size()));
  }
  test::LoopDevice loop(backing);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  auto run = test::run_command("read_sectors", {{"osDevicePath", loop.path()}, {"startLba", 2048}, {"sectorCount", 3}});
  EXPECT_EQ(run.out, ok_line({{"dataHex", hex(sectors, 0, sectors.size())}}));
  auto zeros = test::run_command("read_sectors", {{"osDevicePath", loop.path()}, {"startLba", 0}, {"sectorCount", 1}});
  EXPECT_EQ(zeros.payload()["dataHex"], std::string(1024, '0'));
  auto past =
      test::run_command("read_sectors", {{"osDevicePath", loop.path()}, {"startLba", 16383}, {"sectorCount", 2}});
  EXPECT_EQ(past.out, error_line("READ_FAILED", "failed to fill whole buffer"));
}

class ReadSectorsWithVolumes : public ::testing::Test {
 protected:
  // The drive is a file of patterned sectors; every open of it notes how
  // many volume handles are open at that moment.
  ReadSectorsWithVolumes() : scoped_volumes_(volumes_), scoped_files_(targets_) {
    volumes_.add("\\\\?\\Volume{1}\\", {2});
    volumes_.add("\\\\?\\Volume{2}\\", {2});
    volumes_.add("\\\\?\\Volume{3}\\", {5});
    test::write_file(dir_.file("drive2.img"), test::pattern_bytes(8 * 512));
    targets_.redirect(kDrive, dir_.file("drive2.img"));
    targets_.on_open = [this](const std::string&, OpenMode mode) {
      volume_handles_at_open_.push_back(volumes_.open_handles);
      EXPECT_EQ(mode, OpenMode::kSharedRead);
    };
  }
  HandlerResult run(json payload) {
    payload["osDevicePath"] = kDrive;
    return handle_read_sectors(WindowsHelperRequest{"t", "s", "read_sectors", payload});
  }
  static constexpr const char* kDrive = "\\\\.\\PhysicalDrive2";
  test::TempDir dir_;
  test::FakeVolumes volumes_;
  test::FaultFileSystem targets_;
  std::vector<int> volume_handles_at_open_;
  ScopedVolumeSystem scoped_volumes_;
  ScopedFileSystem scoped_files_;
};

TEST_F(ReadSectorsWithVolumes, VolumesStayLockedWhileTheTargetIsRead) {
  auto r = run({{"startLba", 1}, {"sectorCount", 1}});
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ((*r)["dataHex"], hex(test::pattern(8 * 512), 512, 512));
  EXPECT_EQ(volume_handles_at_open_, std::vector<int>{2});
  EXPECT_EQ(volumes_.open_handles, 0);
}

TEST_F(ReadSectorsWithVolumes, LocksComeBeforeFieldChecksAndAreReleasedOnEveryFailure) {
  auto missing = run({{"sectorCount", 1}});
  EXPECT_EQ(missing.error(), (HelperError{ErrorCode::kUnknown, "Missing startLba payload field"}));
  EXPECT_EQ(std::count(volumes_.log.begin(), volumes_.log.end(), "dismount \\\\?\\Volume{2}\\"), 1);
  EXPECT_EQ(volumes_.open_handles, 0);

  EXPECT_EQ(run({{"startLba", 0}, {"sectorCount", 0}}).error().message,
            "sectorCount must be between 1 and 16384 (got 0)");
  EXPECT_EQ(volumes_.open_handles, 0);

  targets_.fail_read(kDrive, targets_.reads(kDrive), 1167);
  EXPECT_EQ(run({{"startLba", 0}, {"sectorCount", 1}}).error(),
            (HelperError{ErrorCode::kReadFailed, os_error_text(1167)}));
  EXPECT_EQ(volumes_.open_handles, 0);

  // A refused open is a read failure here, not an elevation problem.
  for (int code : {2, 5}) {
    targets_.fail_open(kDrive, OpenMode::kSharedRead, code);
    EXPECT_EQ(run({{"startLba", 0}, {"sectorCount", 1}}).error(),
              (HelperError{ErrorCode::kReadFailed, os_error_text(code)}));
    EXPECT_EQ(volumes_.open_handles, 0);
  }
  EXPECT_TRUE(volume_handles_at_open_ == std::vector<int>({2, 2, 2}));

  // A volume that cannot be locked ends the command before any field check
  // and before the target is opened.
  volumes_.volumes[1].open_write_error = 5;
  auto unmount = run(json::object());
  EXPECT_EQ(unmount.error(), (HelperError{ErrorCode::kUnmountFailed,
                                          "Unable to open mounted volume \\\\?\\Volume{2}\\: " + os_error_text(5)}));
  EXPECT_EQ(volumes_.open_handles, 0);
  EXPECT_EQ(volume_handles_at_open_.size(), 3u);
}

}  // namespace
}  // namespace dh
