// apply_customization run through the built helper, with the fake powershell
// answering the drive-letter script.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file.h"
#include "platform/sys_error.h"
#include "support/drive_letter_mapping.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kScriptForDisk7 =
    "$ErrorActionPreference = 'Stop'; Set-Disk -Number 7 -IsOffline $false -ErrorAction SilentlyContinue; "
    "Set-Disk -Number 7 -IsReadOnly $false -ErrorAction SilentlyContinue; Start-Sleep -Milliseconds 750; "
    "$p = Get-Partition -DiskNumber 7 -PartitionNumber 1 -ErrorAction Stop; "
    "if (-not $p.DriveLetter -or $p.DriveLetter -eq [char]0) { Add-PartitionAccessPath -DiskNumber 7 "
    "-PartitionNumber 1 -AssignDriveLetter -ErrorAction Stop; Start-Sleep -Milliseconds 500; } "
    "$p = Get-Partition -DiskNumber 7 -PartitionNumber 1 -ErrorAction Stop; [string]$p.DriveLetter";
// NOLINTEND(cert-err58-cpp)

json error_of(const test::HelperRun& run) {
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.response["ok"], false) << run.out;
  return json{{"code", run.response["errorCode"]}, {"message", run.response["errorMessage"]}};
}

TEST(ApplyCustomization, TargetProblemsStopBeforePowerShell) {
  test::FakePowerShell ps;
  EXPECT_EQ(error_of(test::run_command("apply_customization", {{"osDevicePath", 7}, {"deviceId", "disk4"}})),
            (json{{"code", "UNKNOWN"}, {"message", "Missing osDevicePath/deviceId payload field"}}));
  EXPECT_EQ(error_of(test::run_command("apply_customization",
                                       {{"osDevicePath", "D:"}, {"deviceId", "\\\\.\\PhysicalDrive2"}})),
            (json{{"code", "UNKNOWN"}, {"message", "Could not parse PhysicalDrive number from D:"}}));
  EXPECT_EQ(ps.calls(), 0);
}

TEST(ApplyCustomization, PowerShellFailuresAndEmptyOutput) {
  test::FakePowerShell ps;
  ps.answer(0, "E\r\n", "Get-Partition : No matching MSFT_Partition objects found\r\n", 1);
  ps.answer(1, " \r\n\r\n");
  const json payload = {{"deviceId", "physicaldrive7"}, {"cmdlineAppend", "quiet"}};
  EXPECT_EQ(error_of(test::run_command("apply_customization", payload)),
            (json{{"code", "UNKNOWN"}, {"message", "Get-Partition : No matching MSFT_Partition objects found"}}));
  EXPECT_EQ(error_of(test::run_command("apply_customization", payload)),
            (json{{"code", "UNKNOWN"}, {"message", "Could not assign a drive letter to the boot partition"}}));
  ASSERT_EQ(ps.calls(), 2);
  EXPECT_EQ(ps.script(0), kScriptForDisk7);
  EXPECT_EQ(ps.script(1), kScriptForDisk7);
  {
    test::NoPowerShell none;
    EXPECT_EQ(error_of(test::run_command_here("apply_customization", payload))["code"], "TOOL_MISSING");
  }
}

TEST(ApplyCustomization, AnUnsafeFileNameRefusesTheWholeRequestBeforeTheScript) {
  test::FakePowerShell ps;
  const json files = json::array({{{"path", "config.txt"}, {"contents", "x"}}, {{"path", "nul.txt"}}});
  EXPECT_EQ(error_of(test::run_command("apply_customization", {{"deviceId", "PhysicalDrive7"}, {"files", files}})),
            (json{{"code", "UNKNOWN"},
                  {"message", "Refusing files[].path \"nul.txt\": \"nul.txt\" is a reserved device name"}}));
  EXPECT_EQ(ps.calls(), 0);
}

TEST(ApplyCustomization, OnlyOneLetterIsTakenForTheDriveLetter) {
  test::FakePowerShell ps;
  const std::vector<std::string> printed = {"WARNING: The disk is offline.\r\nE", "E:", "EF", "1", "\xC3\x89"};
  for (size_t i = 0; i < printed.size(); ++i) ps.answer(static_cast<int>(i), printed[i] + "\r\n");
  for (const std::string& text : printed) {
    auto run = test::run_command("apply_customization", {{"deviceId", "PhysicalDrive7"}, {"files", {{"path", "a"}}}});
    EXPECT_EQ(error_of(run),
              (json{{"code", "UNKNOWN"},
                    {"message", "PowerShell printed no drive letter for the boot partition: " + json(text).dump()}}));
  }
  ps.answer(static_cast<int>(printed.size()), " e \n");
  auto lower = test::run_command("apply_customization", {{"deviceId", "PhysicalDrive7"}});
  EXPECT_EQ(lower.response.value("errorMessage", "").find("printed no drive letter"), std::string::npos) << lower.out;
  EXPECT_EQ(ps.calls(), static_cast<int>(printed.size()) + 1);
}

TEST(ApplyCustomization, WithoutDriveLettersTheLetterIsRefusedAfterTheScript) {
  if (test::on_windows()) GTEST_SKIP() << "Windows reaches drive letters";
  test::FakePowerShell ps;
  ps.answer(0, "E\n");
  auto run = test::run_command("apply_customization", {{"osDevicePath", "\\\\.\\PhysicalDrive7"}});
  EXPECT_EQ(error_of(run), (json{{"code", "UNKNOWN"},
                                 {"message",
                                  "Drive letter E cannot be reached on this platform: "
                                  "only Windows has drive letters"}}));
  EXPECT_EQ(ps.calls(), 1);
}

// A folder reached through a spare drive letter, which the fake powershell
// reports as the boot partition's letter.
class MappedPartition {
 public:
  MappedPartition() : letter_(dir_.path()) { ps_.answer(-1, letter_.letter() + "\r\n"); }
  bool mapped() const { return !letter_.letter().empty(); }
  const std::string& why_not() const { return letter_.failure(); }
  const std::string& letter() const { return letter_.letter(); }
  std::string at(const std::string& name) const { return dir_.file(name); }
  const test::FakePowerShell& ps() const { return ps_; }

 private:
  test::TempDir dir_;
  test::ScopedDriveLetter letter_;
  test::FakePowerShell ps_;
};

#define REQUIRE_MAPPED(partition)                                   \
  do {                                                              \
    if (!test::on_windows()) GTEST_SKIP() << (partition).why_not(); \
    ASSERT_TRUE((partition).mapped()) << (partition).why_not();     \
  } while (0)

TEST(ApplyCustomizationThroughDriveLetter, WritesFilesAndCmdline) {
  MappedPartition p;
  REQUIRE_MAPPED(p);
  std::filesystem::create_directory(std::filesystem::path(p.at("overlays")));
  test::write_file(p.at("cmdline.txt"), "console=tty1  root=PARTUUID=1-02 systemd.run=/old.sh rootwait\r\n");
  test::write_file(p.at("config.txt"), std::string(300, 'x'));
  const std::string script = "#!/bin/bash\r\nset -e\n\xC3\xA9\n";
  json payload = {{"osDevicePath", "\\\\.\\PhysicalDrive7"},
                  {"cmdlineAppend", " systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target\n"},
                  {"files", json::array({{{"path", "firstrun.sh"}, {"contents", script}},
                                         {{"path", 12}, {"contents", "skipped"}},
                                         {{"path", "config.txt"}, {"contents", "first"}},
                                         {{"path", "overlays\\README"}},
                                         {{"path", "config.txt"}, {"contents", "[all]\n"}}})}};
  auto run = test::run_command("apply_customization", payload);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "{\"id\":\"t\",\"ok\":true,\"payload\":{\"applied\":true,\"driveLetter\":\"" + p.letter() +
                         "\",\"files\":[\"firstrun.sh\",\"config.txt\",\"overlays\\\\README\",\"config.txt\","
                         "\"cmdline.txt\"]}}\n");
  EXPECT_EQ(p.ps().script(0), kScriptForDisk7);
  EXPECT_EQ(test::read_file(p.at("firstrun.sh")), script);
  EXPECT_EQ(test::read_file(p.at("config.txt")), "[all]\n");
  EXPECT_TRUE(test::file_exists(p.at("overlays/README")));
  EXPECT_EQ(test::read_file(p.at("overlays/README")), "");
  EXPECT_EQ(test::read_file(p.at("cmdline.txt")),
            "console=tty1 root=PARTUUID=1-02 rootwait systemd.run=/boot/firstrun.sh "
            "systemd.unit=kernel-command-line.target\n");
  EXPECT_FALSE(test::file_exists(p.at("cmdline.txt.tmp")));
}

TEST(ApplyCustomizationThroughDriveLetter, NothingToWriteStillAnswers) {
  MappedPartition p;
  REQUIRE_MAPPED(p);
  auto run = test::run_command("apply_customization",
                               {{"deviceId", "PhysicalDrive7"}, {"files", {{"path", "x"}}}, {"cmdlineAppend", ""}});
  EXPECT_EQ(run.payload(), (json{{"applied", true}, {"driveLetter", p.letter()}, {"files", json::array()}}));
  EXPECT_EQ(p.ps().calls(), 1);
  EXPECT_FALSE(test::file_exists(p.at("x")));
}

TEST(ApplyCustomizationThroughDriveLetter, TheVolumeIsFlushedAfterTheLastWriteBeforeTheAnswer) {
  MappedPartition p;
  REQUIRE_MAPPED(p);
  const std::string root = p.letter() + ":\\";
  const int pulled = 1167;  // ERROR_DEVICE_NOT_CONNECTED: the card is gone
  const json both = {{"deviceId", "PhysicalDrive7"},
                     {"files", json::array({{{"path", "a.txt"}, {"contents", "a"}}})},
                     {"cmdlineAppend", "quiet"}};
  const std::vector<std::string> written = {"open create-write-through " + root + "a.txt",
                                            "close " + root + "a.txt",
                                            "open shared-read " + root + "cmdline.txt",
                                            "close " + root + "cmdline.txt",
                                            "open create-new-write-through " + root + "cmdline.txt.tmp",
                                            "close " + root + "cmdline.txt.tmp",
                                            "replace " + root + "cmdline.txt.tmp " + root + "cmdline.txt",
                                            "flush-volume " + root};
  struct Case {
    const char* what;
    json payload;
    std::optional<int> flush_error;
    std::vector<std::string> events;
    json answer;  // the payload, or the error
  };
  const std::vector<Case> cases = {
      {"files and cmdline.txt",
       both,
       std::nullopt,
       written,
       {{"applied", true}, {"driveLetter", p.letter()}, {"files", {"a.txt", "cmdline.txt"}}}},
      {"a failed flush",
       both,
       pulled,
       written,
       {{"code", "WRITE_FAILED"}, {"message", root + ": " + os_error_text(pulled)}}},
      {"nothing written",
       {{"deviceId", "PhysicalDrive7"}},
       pulled,
       {},
       {{"applied", true}, {"driveLetter", p.letter()}, {"files", json::array()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(p.at("cmdline.txt"), "console=tty1\n");
    std::filesystem::remove(std::filesystem::path(p.at("a.txt")));
    test::FaultFileSystem fs;
    if (c.flush_error) fs.fail_volume_flush(root, *c.flush_error);
    test::HelperRun run;
    {
      ScopedFileSystem use(fs);
      run = test::run_command_here("apply_customization", c.payload);
    }
    EXPECT_EQ(fs.events(), c.events);
    EXPECT_EQ(run.response["ok"] == true ? run.payload() : error_of(run), c.answer) << run.out;
    // A failed flush comes after the writes: the file stays written.
    EXPECT_EQ(test::file_exists(p.at("a.txt")), c.payload.contains("files"));
  }
}

TEST(ApplyCustomizationThroughDriveLetter, FailuresKeepEarlierFilesAndTheOldCmdline) {
  MappedPartition p;
  REQUIRE_MAPPED(p);
  const json files = json::array({{{"path", "a.txt"}, {"contents", "a"}}});

  // No cmdline.txt on the partition.
  auto missing = test::run_command("apply_customization",
                                   {{"deviceId", "PhysicalDrive7"}, {"files", files}, {"cmdlineAppend", "quiet"}});
  EXPECT_EQ(error_of(missing),
            (json{{"code", "WRITE_FAILED"},
                  {"message", "cmdline.txt is missing on the boot partition: " + os_error_text(2)}}));
  EXPECT_EQ(test::read_file(p.at("a.txt")), "a");

  // A folder that does not exist.
  auto no_folder = test::run_command(
      "apply_customization",
      {{"deviceId", "PhysicalDrive7"}, {"files", json::array({{{"path", "b.txt"}}, {{"path", "nosuch\\c.txt"}}})}});
  EXPECT_EQ(error_of(no_folder), (json{{"code", "WRITE_FAILED"}, {"message", "nosuch\\c.txt: " + os_error_text(3)}}));
  EXPECT_TRUE(test::file_exists(p.at("b.txt")));

  // The new cmdline.txt cannot be written (its temporary file's name is taken
  // by a folder): the old file stays as it was.
  const std::string old_cmdline = "console=tty1 root=PARTUUID=1-02 rootwait\n";
  test::write_file(p.at("cmdline.txt"), old_cmdline);
  std::filesystem::create_directory(std::filesystem::path(p.at("cmdline.txt.tmp")));
  auto blocked = test::run_command("apply_customization",
                                   {{"deviceId", "PhysicalDrive7"}, {"files", files}, {"cmdlineAppend", "quiet"}});
  auto error = error_of(blocked);
  EXPECT_EQ(error["code"], "WRITE_FAILED");
  EXPECT_EQ(error["message"].get<std::string>().rfind("cmdline.txt: ", 0), 0u) << error;
  EXPECT_EQ(test::read_file(p.at("cmdline.txt")), old_cmdline);
}

}  // namespace
}  // namespace dh
