// What every command that takes a path or a target refuses before it touches
// anything: names cut short by a NUL character, and the disk of the running
// system. And the one answer a request gets even when a handler throws.
#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

#include "commands/dispatch.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/loop_device.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

// Every command that reads a target, and what else it needs to get that far.
json base_payload(const std::string& command, const std::string& image) {
  if (command == "write_image" || command == "classify_mismatch") return {{"imagePath", image}, {"bytesTotal", 4}};
  if (command == "verify_hash") return {{"bytesTotal", 4}};
  if (command == "read_sectors") return {{"startLba", 0}, {"sectorCount", 1}};
  if (command == "apply_customization") return {{"files", json::array({{{"path", "a.txt"}}})}};
  return json::object();
}

const std::vector<std::string>& target_commands() {
  static const std::vector<std::string> kCommands = {
      "write_image",  "verify_hash",   "classify_mismatch", "verify_boot",         "read_sectors",
      "prepare_disk", "detach_target", "finalize_disk",     "apply_customization", "probe_capacity"};
  return kCommands;
}

TEST(NulInPaths, EveryPathFieldIsRefusedBeforeAnythingHappens) {
  test::TempDir dir;
  const std::string image = dir.file("image.img");
  const std::string target = dir.file("target.img");
  test::write_file(image, "abcd");
  test::write_file(target, "keep");
  // What the system would see of the value is a real, writable file.
  const std::string cut = target + std::string(1, '\0') + "\\\\.\\PhysicalDrive9";
  test::FakePowerShell ps;
  struct Case {
    std::string command;
    json payload;
    std::string field;
  };
  std::vector<Case> cases;
  for (const std::string& command : target_commands()) {
    json with_path = base_payload(command, image);
    with_path["osDevicePath"] = cut;
    cases.push_back({command, with_path, "osDevicePath"});
    json with_id = base_payload(command, image);
    with_id["deviceId"] = "PhysicalDrive9" + std::string(1, '\0');
    cases.push_back({command, with_id, "deviceId"});
  }
  for (const char* command : {"write_image", "classify_mismatch"}) {
    json p = base_payload(command, image);
    p["imagePath"] = image + std::string(1, '\0') + ".xz";
    p["osDevicePath"] = target;
    cases.push_back({command, p, "imagePath"});
  }
  for (const char* command : {"image_validate_xz", "image_uncompressed_size", "image_extract_xz"}) {
    cases.push_back(
        {command, {{"imagePath", image + std::string(1, '\0') + ".xz"}, {"outputPath", target + ".out"}}, "imagePath"});
  }
  cases.push_back({"image_extract_xz", {{"imagePath", image}, {"outputPath", cut}}, "outputPath"});

  for (const Case& c : cases) {
    auto run = test::run_command_here(c.command, c.payload);
    EXPECT_EQ(run.response["errorCode"], "UNKNOWN") << c.command << " " << c.field;
    EXPECT_EQ(run.response["errorMessage"], c.field + " payload field contains a NUL character") << c.command;
  }
  // The built helper reads the same request text the same way.
  auto child = test::run_command("write_image", {{"imagePath", image}, {"osDevicePath", cut}});
  EXPECT_EQ(child.response["errorMessage"], "osDevicePath payload field contains a NUL character") << child.out;
  auto files = test::run_command("apply_customization", {{"deviceId", "PhysicalDrive7"},
                                                         {"files", json::array({{{"path", std::string("a\0b", 3)}}})}});
  EXPECT_EQ(files.response["errorMessage"], "Refusing files[].path \"a\\u0000b\": it contains a NUL character")
      << files.out;
  EXPECT_EQ(ps.calls(), 0);
  EXPECT_EQ(test::read_file(target), "keep");
  EXPECT_FALSE(test::file_exists(target + ".out"));
}

// image_extract_xz writes regular files only: a device path, or a path that
// reaches a device, is refused before anything is opened for writing.
TEST(DeviceOutputs, ExtractionRefusesEveryDeviceBeforeOpeningIt) {
  test::TempDir dir;
  const std::string image = dir.file("image.xz");
  test::write_file(image, "not even xz");
  std::vector<std::string> outputs = {"\\\\.\\PhysicalDrive0",
                                      "\\\\.\\C:",
                                      "//./PhysicalDrive1",
                                      "\\\\?\\Volume{a}\\",
                                      "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition1",
                                      "\\\\.\\pipe\\x",
                                      "\\\\?\\D:"};
  test::LoopDevice loop(1 << 20);
  if (!test::on_windows()) outputs.push_back("/dev/null");
  if (!loop.path().empty()) {
    outputs.push_back(loop.path());
    std::filesystem::create_symlink(loop.path(), dir.file("link"));
    outputs.push_back(dir.file("link"));
  }
  test::FaultFileSystem files;
  ScopedFileSystem scoped(files);
  for (const std::string& out : outputs) {
    auto run = test::run_command_here("image_extract_xz", {{"imagePath", image}, {"outputPath", out}});
    EXPECT_EQ(run.response["errorCode"], "UNKNOWN") << out;
    EXPECT_EQ(run.response["errorMessage"],
              "Refusing outputPath " + out + ": it names a device; the output must be a regular file");
  }
  EXPECT_TRUE(files.opened().empty());
  if (!loop.path().empty()) {
    EXPECT_EQ(test::read_file(loop.path()), std::string(1 << 20, '\0'));
  }
  // The built helper, as the application runs it.
  auto child = test::run_command("image_extract_xz", {{"imagePath", image}, {"outputPath", "\\\\.\\PhysicalDrive0"}});
  EXPECT_EQ(child.out,
            "{\"id\":\"t\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":\"Refusing outputPath "
            "\\\\\\\\.\\\\PhysicalDrive0: it names a device; the output must be a regular file\"}\n");
}

// A system volume with extents on disk 0: every command refuses disk 0 before
// any script, lock or open, and treats disk 1 as before.
TEST(SystemDisk, EveryCommandRefusesTheSystemDiskAndNothingElse) {
  test::TempDir dir;
  const std::string image = dir.file("image.img");
  test::write_file(image, "abcd");
  test::FakeVolumes volumes;
  volumes.add("\\\\?\\Volume{c}\\", {0}).system = true;
  volumes.add("\\\\?\\Volume{card}\\", {1});
  ScopedVolumeSystem scoped_volumes(volumes);
  test::FaultFileSystem files;  // drives answer as on Windows, and none can be opened
  ScopedFileSystem scoped_files(files);
  test::FakePowerShell ps;
  ps.answer(-1, "E:\n");  // no letter: nothing is written anywhere
  const std::string refusal =
      "Refusing \\\\.\\PhysicalDrive0: \\\\.\\PhysicalDrive0 holds the running operating system";
  for (const std::string& command : target_commands()) {
    for (uint32_t disk : {0u, 1u}) {
      const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(disk);
      files.redirect(drive, dir.file("absent-" + std::to_string(disk)));
      volumes.log.clear();
      files.events().clear();
      const int calls = ps.calls();
      json payload = base_payload(command, image);
      payload["osDevicePath"] = drive;
      auto run = test::run_command_here(command, payload);
      std::string message = run.response.value("errorMessage", "");
      if (disk == 0) {
        EXPECT_EQ(message, refusal) << command << ": " << run.out;
        EXPECT_EQ(ps.calls(), calls) << command;
        for (const auto& entry : volumes.log) {
          EXPECT_TRUE(entry.find("Volume{c}") != std::string::npos) << command << " touched " << entry;
        }
        EXPECT_EQ(files.opens(drive), 0) << command;
      } else {
        EXPECT_EQ(message.rfind("Refusing", 0), std::string::npos) << command << ": " << run.out;
      }
    }
  }
  EXPECT_EQ(volumes.open_handles, 0);
  EXPECT_EQ(files.open_handles(), 0);
}

HandlerResult throws_bad_alloc(const WindowsHelperRequest&) { throw std::bad_alloc(); }
HandlerResult throws_system_error(const WindowsHelperRequest&) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "thread");
}
HandlerResult throws_bad_text(const WindowsHelperRequest&) { throw std::runtime_error("caf\xE9"); }
HandlerResult throws_int(const WindowsHelperRequest&) { throw 7; }
HandlerResult answers(const WindowsHelperRequest&) { return json{{"ok", 1}}; }

TEST(Dispatch, AnEscapingExceptionIsOneUnknownAnswer) {
  const WindowsHelperRequest request{"r-1", "s", "x", nullptr};
  struct Case {
    Handler handler;
    std::string message;
  };
  const std::error_code busy = std::make_error_code(std::errc::resource_unavailable_try_again);
  const std::vector<Case> cases = {{throws_bad_alloc, std::bad_alloc().what()},
                                   {throws_system_error, std::system_error(busy, "thread").what()},
                                   {throws_bad_text, "caf\xEF\xBF\xBD"},
                                   {throws_int, "Unexpected error"}};
  for (const Case& c : cases) {
    auto result = run_handler(c.handler, request);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (HelperError{ErrorCode::kUnknown, c.message}));
  }
  EXPECT_EQ(*run_handler(answers, request), (json{{"ok", 1}}));
}

}  // namespace
}  // namespace dh
