// Writing files and cmdline.txt into a boot partition's root folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "customize/boot_files.h"
#include "platform/file.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kCmdline = "console=serial0,115200 console=tty1 root=PARTUUID=8a438930-02 rootwait\n";
// NOLINTEND(cert-err58-cpp)

// A root folder standing in for the mounted boot partition.
struct Partition {
  test::TempDir dir;
  std::string root = dir.file("");  // ends in the platform's separator
  std::string at(const std::string& name) const { return dir.file(name); }
};

Expected<std::vector<std::string>, HelperError> customize(const Partition& p, const json& files,
                                                          const std::string& append) {
  return customize_boot_partition(p.root, files.is_array() ? &files : nullptr, append);
}

std::vector<std::string> entries(const Partition& p) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(p.dir.path()))) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BootPartition, WritesFilesByteForByteInOrder) {
  Partition p;
  std::filesystem::create_directory(std::filesystem::path(p.at("overlays")));
  test::write_file(p.at("config.txt"), std::string(200, 'o'));  // longer than the new text
  const std::string crlf = "line 1\r\nline 2\n\xC3\xA9t\xC3\xA9 \xEF\xBB\xBF" + std::string(1, '\0') + "end";
  json files = json::array({
      {{"path", "config.txt"}, {"contents", "[all]\r\ndtparam=audio=on"}},
      {{"path", 7}, {"contents", "skipped"}},
      {{"contents", "no path"}},
      "not an object",
      {{"path", "firstrun.sh"}, {"contents", crlf}},
      {{"path", "overlays/empty.txt"}},
      {{"path", "ssh"}, {"contents", nullptr}},
      {{"path", "config.txt"}, {"contents", "later wins"}},
  });
  auto written = customize(p, files, "");
  ASSERT_TRUE(written.has_value()) << written.error().message;
  EXPECT_EQ(*written,
            (std::vector<std::string>{"config.txt", "firstrun.sh", "overlays/empty.txt", "ssh", "config.txt"}));
  EXPECT_EQ(test::read_file(p.at("config.txt")), "later wins");
  EXPECT_EQ(test::read_file(p.at("firstrun.sh")), crlf);
  EXPECT_TRUE(test::file_exists(p.at("overlays/empty.txt")));
  EXPECT_EQ(test::read_file(p.at("overlays/empty.txt")), "");
  EXPECT_EQ(test::read_file(p.at("ssh")), "");
  // No cmdline.txt was needed: the addition is empty.
  EXPECT_EQ(entries(p), (std::vector<std::string>{"config.txt", "firstrun.sh", "overlays", "ssh"}));
}

TEST(BootPartition, MissingFolderStopsAfterEarlierFiles) {
  Partition p;
  test::write_file(p.at("cmdline.txt"), kCmdline);
  json files = json::array({{{"path", "a.txt"}, {"contents", "a"}},
                            {{"path", "nosuch/b.txt"}, {"contents", "b"}},
                            {{"path", "c.txt"}, {"contents", "c"}}});
  auto written = customize(p, files, "quiet");
  ASSERT_FALSE(written.has_value());
  // ERROR_PATH_NOT_FOUND on Windows, ENOENT elsewhere.
  EXPECT_EQ(written.error(),
            (HelperError{ErrorCode::kWriteFailed, "nosuch/b.txt: " + os_error_text(test::on_windows() ? 3 : 2)}));
  EXPECT_EQ(test::read_file(p.at("a.txt")), "a");
  EXPECT_FALSE(test::file_exists(p.at("c.txt")));
  EXPECT_EQ(test::read_file(p.at("cmdline.txt")), kCmdline);
}

TEST(BootPartition, MergesIntoCmdlineAndListsItLast) {
  Partition p;
  test::write_file(p.at("cmdline.txt"), "a=1  b  c=2\r\n");
  // A temporary file left by an interrupted run does not get in the way.
  test::write_file(p.at("cmdline.txt.tmp"), "stale");
  auto written = customize(p, json::array({{{"path", "x"}, {"contents", "1"}}}), " systemd.run=/boot/f.sh ");
  ASSERT_TRUE(written.has_value()) << written.error().message;
  EXPECT_EQ(*written, (std::vector<std::string>{"x", "cmdline.txt"}));
  EXPECT_EQ(test::read_file(p.at("cmdline.txt")), "a=1 b c=2 systemd.run=/boot/f.sh\n");
  EXPECT_EQ(entries(p), (std::vector<std::string>{"cmdline.txt", "x"}));

  ASSERT_TRUE(customize(p, json(), "systemd.run=/boot/g.sh").has_value());
  EXPECT_EQ(test::read_file(p.at("cmdline.txt")), "a=1 b c=2 systemd.run=/boot/g.sh\n");
}

TEST(BootPartition, UnreadableCmdlineFailsAfterTheFiles) {
  Partition p;
  auto missing = customize(p, json::array({{{"path", "a.txt"}, {"contents", "a"}}}), "quiet");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), (HelperError{ErrorCode::kWriteFailed,
                                          "cmdline.txt is missing on the boot partition: " + os_error_text(2)}));
  EXPECT_EQ(test::read_file(p.at("a.txt")), "a");
  EXPECT_EQ(entries(p), (std::vector<std::string>{"a.txt"}));

  const std::string latin1 = "root=/dev/mmcblk0p2 caf\xE9\n";
  test::write_file(p.at("cmdline.txt"), latin1);
  auto not_utf8 = customize(p, json(), "quiet");
  ASSERT_FALSE(not_utf8.has_value());
  EXPECT_EQ(not_utf8.error(), (HelperError{ErrorCode::kWriteFailed,
                                           "cmdline.txt is missing on the boot partition: "
                                           "stream did not contain valid UTF-8"}));
  EXPECT_EQ(test::read_file(p.at("cmdline.txt")), latin1);
}

TEST(BootPartition, FailedCmdlineWriteKeepsTheOldFile) {
  // Each step of the replacement fails in turn: creating the temporary file,
  // writing it (after its first 5 bytes, so it is left half written),
  // flushing it, and moving it over cmdline.txt.
  enum class Step { kCreateNew, kWrite, kFlush, kReplace };
  const int code = test::on_windows() ? 1117 : EIO;  // ERROR_IO_DEVICE
  for (Step step : {Step::kCreateNew, Step::kWrite, Step::kFlush, Step::kReplace}) {
    SCOPED_TRACE(static_cast<int>(step));
    Partition p;
    test::write_file(p.at("cmdline.txt"), kCmdline);
    const std::string temp = p.at("cmdline.txt") + ".tmp";
    test::FaultFileSystem failing;
    if (step == Step::kCreateNew) failing.fail_open(temp, OpenMode::kCreateNewWriteThrough, code);
    if (step == Step::kWrite) {
      failing.end_at(temp, 5);
      failing.fail_write(temp, 1, code);
    }
    if (step == Step::kFlush) failing.fail_flush(temp, code);
    if (step == Step::kReplace) failing.fail_replace(p.at("cmdline.txt"), code);
    ScopedFileSystem use(failing);
    auto r = customize(p, json::array({{{"path", "firstrun.sh"}, {"contents", "#!/bin/bash\n"}}}), "quiet");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (HelperError{ErrorCode::kWriteFailed, "cmdline.txt: " + os_error_text(code)}));
    EXPECT_EQ(test::read_file(p.at("cmdline.txt")), kCmdline);
    // The caller's file stays written; no temporary file is left behind.
    EXPECT_EQ(test::read_file(p.at("firstrun.sh")), "#!/bin/bash\n");
    EXPECT_EQ(entries(p), (std::vector<std::string>{"cmdline.txt", "firstrun.sh"}));
  }
}

}  // namespace
}  // namespace dh
