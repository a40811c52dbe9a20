// Platform layer pieces that do not need a device: text, quoting, buffered
// I/O and files.
#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/buffered_io.h"
#include "platform/console.h"
#include "platform/device_path.h"
#include "platform/file.h"
#include "platform/process.h"
#include "support/loop_device.h"
#include "support/memory_file.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dh {
namespace {

TEST(Text, LossyUtf8ReplacesMaximalSubparts) {
  EXPECT_EQ(utf8_lossy("abc"), "abc");
  EXPECT_EQ(utf8_lossy("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(utf8_lossy("\xE2\x82"
                       "x"),
            "\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9"));
}

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_unicode(" \t\n\r\v\f x y \xC2\xA0\xE3\x80\x80"), "x y");
  EXPECT_EQ(trim_unicode("\xE2\x80\x8B"
                         "x"),
            "\xE2\x80\x8B"
            "x");  // zero-width space is not white space
  EXPECT_EQ(trim_unicode("   "), "");
  EXPECT_EQ(trim_unicode(""), "");
}

TEST(Text, CaseAndHex) {
  EXPECT_EQ(ascii_lower("PhysicalDRIVE\xC3\x89"), "physicaldrive\xC3\x89");
  EXPECT_EQ(ascii_upper("config.txt"), "CONFIG.TXT");
  const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(hex_encode(bytes, 4), "000fa0ff");
}

TEST(Paths, ExtendedLengthFormOfAbsoluteWindowsPaths) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(C:\images\pi.img)", R"(\\?\C:\images\pi.img)"},
      {R"(z:\)", R"(\\?\z:\)"},
      {R"(\\server\share\pi.img)", R"(\\?\UNC\server\share\pi.img)"},
      {R"(\\?\C:\pi.img)", R"(\\?\C:\pi.img)"},
      {R"(\\.\PhysicalDrive1)", R"(\\.\PhysicalDrive1)"},
      {R"(\\?\Volume{1}\)", R"(\\?\Volume{1}\)"},
      // Not absolute, or no drive letter: left to Windows.
      {"C:pi.img", "C:pi.img"},
      {R"(1:\pi.img)", R"(1:\pi.img)"},
      {R"(\pi.img)", R"(\pi.img)"},
      {"pi.img", "pi.img"},
      {"", ""},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(extended_length_path(path), expected) << path;
}

TEST(Paths, VolumeDevicePathsAreTheVolumeItselfOnly) {
  const std::pair<std::string, bool> cases[] = {
      {R"(\\.\E:)", true},
      {R"(\\?\e:)", true},
      {R"(\\?\Volume{0b1c2d3e-0000-0000-0000-100000000000})", true},
      {R"(\\.\VOLUME{0b1c2d3e-0000-0000-0000-100000000000})", true},
      // The root folder of the volume, a file on it, or another device.
      {R"(\\.\E:\)", false},
      {R"(\\?\Volume{0b1c2d3e-0000-0000-0000-100000000000}\)", false},
      {R"(\\?\Volume{0b1c2d3e-0000-0000-0000-100000000000}\pi.img)", false},
      {R"(\\.\E:\pi.img)", false},
      {R"(\\.\PhysicalDrive1)", false},
      {R"(\\.\1:)", false},
      {R"(\\?\Volume{})", false},
      {R"(\\?\Volume{)", false},
      {"E:", false},
      {R"(E:\)", false},
      {R"(\\server\E:)", false},
  };
  for (const auto& [path, volume] : cases) EXPECT_EQ(is_volume_device_path(path), volume) << path;
  EXPECT_EQ(physical_drive_path(7), R"(\\.\PhysicalDrive7)");
}

TEST(Quoting, WindowsArgumentRules) {
  EXPECT_EQ(quote_windows_argument("plain"), "plain");
  EXPECT_EQ(quote_windows_argument(""), "\"\"");
  EXPECT_EQ(quote_windows_argument("a b"), "\"a b\"");
  EXPECT_EQ(quote_windows_argument("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(quote_windows_argument("a\\\"b"), "\"a\\\\\\\"b\"");
  EXPECT_EQ(quote_windows_argument("dir\\ x\\"), "\"dir\\ x\\\\\"");
  EXPECT_EQ(quote_windows_argument("c:\\path\\"), "c:\\path\\");
}

TEST(BufferedIo, ReaderBypassesBufferForFullReadsOnly) {
  test::MemoryFile f(test::pattern(114));
  BufferedReader r(f, 64);
  std::vector<uint8_t> out(64);
  EXPECT_EQ(*r.read(out.data(), 64),
            64u);  // straight through, bounded by the request
  EXPECT_EQ(f.last_read_request, 64u);
  EXPECT_EQ(*r.read(out.data(), 10), 10u);  // one fill of the buffer
  EXPECT_EQ(f.last_read_request, 64u);
  EXPECT_EQ(*r.read(out.data(), 64), 40u);  // served from what is buffered
  EXPECT_EQ(*r.read(out.data(), 64), 0u);
}

TEST(BufferedIo, WriterStagesSmallChunksAndPassesLargeOnes) {
  test::MemoryFile f;
  f.writable = true;
  BufferedWriter w(f, 16);
  const std::vector<uint8_t> data(40, 1);
  ASSERT_TRUE(w.write(data.data(), 10).has_value());
  EXPECT_TRUE(f.writes.empty());
  ASSERT_TRUE(w.write(data.data(), 16).has_value());  // flushes the 10, then writes 16 directly
  EXPECT_EQ(f.writes, (std::vector<size_t>{10, 16}));
  ASSERT_TRUE(w.write(data.data(), 5).has_value());
  ASSERT_TRUE(w.flush_buffer().has_value());
  EXPECT_EQ(f.writes, (std::vector<size_t>{10, 16, 5}));
}

TEST(BufferedIo, WriterInUnitsWritesWholeUnitsAndPadsTheLast) {
  test::MemoryFile f;
  f.writable = true;
  BufferedWriter w(f, 16, 8);
  const std::vector<uint8_t> data(40, 1);
  for (size_t len : {5, 16, 40}) ASSERT_TRUE(w.write(data.data(), len).has_value());
  ASSERT_TRUE(w.flush_buffer().has_value());
  // 5 + 16 + 40 = 61 bytes: staged units, the direct part, the padded tail.
  EXPECT_EQ(f.writes, (std::vector<size_t>{8, 8, 8, 32, 8}));
}

TEST(BufferedIo, ZeroByteWritesAreErrors) {
  test::MemoryFile staged;
  staged.writable = true;
  staged.accept = {0};
  BufferedWriter w(staged, 16);
  const std::vector<uint8_t> data(32, 1);
  ASSERT_TRUE(w.write(data.data(), 4).has_value());
  auto r = w.flush_buffer();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "failed to write the buffered data");

  test::MemoryFile direct;
  direct.writable = true;
  direct.accept = {3, 0};
  BufferedWriter d(direct, 16);
  auto big = d.write(data.data(), 32);
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error().message, "failed to write whole buffer");
}

TEST(SysErrors, EachBackendClassifiesItsOwnCodes) {
  for (SysErrorKind kind : {SysErrorKind::kAccessDenied, SysErrorKind::kSharingViolation, SysErrorKind::kNotFound}) {
    EXPECT_EQ(SysError::from_os(os_error_code(kind)).kind(), kind);
  }
  EXPECT_EQ(SysError::fixed("failed to fill whole buffer").kind(), SysErrorKind::kNone);
  // Windows' ERROR_GEN_FAILURE, EMLINK on POSIX: neither a refusal nor busy.
  EXPECT_EQ(SysError::from_os(31).kind(), SysErrorKind::kOther);
}

TEST(NativeFiles, OpenModesAndErrors) {
  test::TempDir dir;
  std::string path = dir.file("f.bin");
  auto missing = file_system().open(path, OpenMode::kSharedRead);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, 2);
  EXPECT_NE(missing.error().message.find(" (os error 2)"), std::string::npos);
  EXPECT_EQ(missing.error().kind(), SysErrorKind::kNotFound);

  {
    auto out = file_system().open(path, OpenMode::kCreateTruncate);
    ASSERT_TRUE(out.has_value());
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(write_all(**out, bytes, 5).has_value());
    ASSERT_TRUE((*out)->flush().has_value());
  }
  auto in = file_system().open(path, OpenMode::kExclusiveRead);
  ASSERT_TRUE(in.has_value());
  FileKind kind = (*in)->kind();
  EXPECT_FALSE(kind.device);
  EXPECT_EQ(kind.length, 5u);
  EXPECT_EQ(transfer_unit(kind), 1u);
  EXPECT_EQ(transfer_unit(FileKind{true, std::nullopt, 0}), 512u) << "a device that tells nothing";
  EXPECT_EQ(transfer_unit(FileKind{true, std::nullopt, 4096}), 4096u);
  EXPECT_EQ(transfer_unit(FileKind{true, std::nullopt, 520}), 512u);

  ASSERT_TRUE((*in)->seek(3).has_value());
  uint8_t buf[4] = {};
  auto short_read = read_exact(**in, buf, 4);
  ASSERT_FALSE(short_read.has_value());
  EXPECT_EQ(short_read.error().message, "failed to fill whole buffer");

  EXPECT_TRUE(file_system().metadata(dir.path()).has_value());
  auto as_dir = file_system().open(dir.path(), OpenMode::kSharedRead);
  EXPECT_FALSE(as_dir.has_value()) << "a folder must not open like a file";
  EXPECT_EQ(*file_system().identity(path), *file_system().identity(dir.path() + "/./f.bin"));

  // A volume flush: POSIX flushes the file system holding the folder; Windows
  // reaches a volume only through a drive letter (the drive-letter tests of
  // apply_customization flush one).
  if (test::on_windows()) {
    EXPECT_EQ(file_system().flush_volume("\\\\server\\share\\").error().code, 123);  // ERROR_INVALID_NAME
  } else {
    auto flushed = file_system().flush_volume(dir.path());
    EXPECT_TRUE(flushed.has_value()) << flushed.error().message;
    EXPECT_EQ(file_system().flush_volume(dir.file("nosuch")).error().code, 2);
  }
}

TEST(NativeFiles, ABlockDeviceTellsItsLengthAndSectorSize) {
  test::LoopDevice loop(3 << 20);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  auto device = file_system().open(loop.path(), OpenMode::kSharedRead);
  ASSERT_TRUE(device.has_value()) << device.error().message;
  FileKind kind = (*device)->kind();
  EXPECT_TRUE(kind.device);
  EXPECT_EQ(kind.length, uint64_t{3} << 20);
  EXPECT_EQ(kind.sector_size, 512u);
  EXPECT_EQ(transfer_unit(kind), 512u);
}

TEST(Processes, ArgumentsRoundTripThroughARealChild) {
  // The fake powershell records its arguments; run it directly with awkward
  // arguments and compare.
  test::FakePowerShell ps;
  auto program = find_program("powershell");
  ASSERT_TRUE(program.has_value());
  std::vector<std::string> args = {
      "-NoProfile", "-Command", "a \"quoted\" \\\\share\\ end\\", "", " ", "\\\"", "tab\there", "\xC3\xA9\xE2\x9C\x93"};
  auto r = run_process(*program, args);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, 0);
  EXPECT_EQ(ps.args(0), args);
}

TEST(ProcessStart, SystemErrorDialogsAreOff) {
#ifdef _WIN32
  const UINT started_with = SetErrorMode(0);
  suppress_system_error_dialogs();
  EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
  SetErrorMode(started_with);
#else
  GTEST_SKIP() << "only Windows shows error dialogs";
#endif
}

}  // namespace
}  // namespace dh
