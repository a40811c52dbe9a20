// write_image and image_info on every format the helper decodes, each file
// made by its own tool from the same disk image: the same card as the plain
// image, and damaged data never called good nor written whole.
#include <gtest/gtest.h>

#include "decode/zip.h"
#include "image/image_commands.h"
#include "platform/file.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/write_image.h"

namespace dh {
namespace {

using nlohmann::json;
constexpr uint64_t kMiB = 1024 * 1024;

json image_info(const std::string& path) {
  auto answer = handle_image_info(WindowsHelperRequest{"r", "s", "image_info", {{"imagePath", path}}});
  if (!answer) return {{"errorCode", error_code_text(answer.error().code)}, {"errorMessage", answer.error().message}};
  return *answer;
}

// Every format (and "auto" on each) writes the plain image's card through
// the raw-drive double, with the same digests, and image_info tells what
// "auto" finds, the decoded size where the file records it, and the zip
// entry taken.
TEST(WriteImageFormats, EveryFormatWritesThePlainImagesCard) {
  const std::string drive = "\\\\.\\PhysicalDrive5";
  const std::string image = test::read_file(test::fixture("small.img"));
  const uint64_t n = image.size();
  const std::string sha = test::sha256_hex(image);
  test::TempDir dir;
  const std::string card = dir.file("card.img");
  const std::string used(n + 4096, '\xA5');
  const std::string image_after = image + used.substr(n);
  struct Case {
    const char* image;
    const char* decompress;
    const char* format;  // image_info's
    json size;
    json entry;
  };
  const Case cases[] = {
      {"small.img.gz", "gz", "gz", nullptr, nullptr},     {"small-members.img.gz", "gz", "gz", nullptr, nullptr},
      {"small.img.bz2", "bz2", "bz2", nullptr, nullptr},  {"small.img.zst", "zstd", "zstd", n, nullptr},
      {"small.zip", "zip", "zip", n, "images/small.img"}, {"small64.zip", "zip", "zip", n, "small.img"},
      {"small.img.gz", "auto", "gz", nullptr, nullptr},   {"small.img.bz2", "auto", "bz2", nullptr, nullptr},
      {"small.img.zst", "auto", "zstd", n, nullptr},      {"small.zip", "auto", "zip", n, "images/small.img"},
      {"small.img.xz", "auto", "xz", n, nullptr},         {"small.img", "auto", "plain", n, nullptr},
  };
  bool skip_readback = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " as " + c.decompress);
    EXPECT_EQ(image_info(test::fixture(c.image)),
              (json{{"format", c.format}, {"uncompressedBytes", c.size}, {"entryName", c.entry}}));
    test::write_file(card, used);
    test::FaultFileSystem fs;
    fs.redirect(drive, card);
    test::FakeVolumes volumes;
    ScopedFileSystem scoped_fs(fs);
    ScopedVolumeSystem scoped_volumes(volumes);
    json payload = {{"imagePath", test::fixture(c.image)}, {"osDevicePath", drive}, {"decompress", c.decompress}};
    skip_readback = !skip_readback;
    if (skip_readback) payload["skipReadback"] = true;
    test::FakeClock clock;
    auto run = test::run_write(payload, clock);
    ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
    EXPECT_EQ((*run.result)["bytesWritten"], n);
    EXPECT_EQ((*run.result)["sourceSha256"], sha);
    if (!skip_readback) {
      EXPECT_EQ((*run.result)["observedSha256"], sha);
    }
    // The write's lines count against the decoded size where the file
    // records it (a plain image's, as ever, against none).
    const uint64_t lines_total = c.size.is_null() || std::string(c.format) == "plain" ? 0 : n;
    for (const json& l : run.lines) {
      if (l["stage"] == "WRITE") {
        EXPECT_EQ(l["bytesTotal"], lines_total);
      }
    }
    EXPECT_EQ(fs.open_handles(), 0);
    EXPECT_TRUE(test::read_file(card) == image_after) << "the card holds other bytes than the plain image's";
  }
}

// A flipped byte at the start, in the middle and at the end of each format's
// data (and a gzip whose length field is one off) ends the write with
// XZ_INVALID naming the format, whatever bytesTotal and skipReadback: each
// format checks its data after the data, so what follows a damage can be
// written before the check fails, but the image's last MiB, held back until
// its part has passed, never reaches the card. A file that is not in the
// format named is refused before the target is touched.
TEST(WriteImageFormats, DamagedDataIsRefusedAndNeverWrittenWhole) {
  const uint64_t n = test::read_file(test::fixture("small.img")).size();
  test::TempDir dir;
  const std::string card = dir.file("card.img");
  const std::string used(n + 4096, '\xA5');
  const std::string damaged = dir.file("damaged");

  struct Damage {
    const char* image;
    const char* decompress;
    std::optional<uint64_t> at;  // the byte flipped; none: the file as it is
  };
  // A zip's data lies in front of its directory: its damage is placed in it.
  auto fd = file_system().open(test::fixture("small.zip"), OpenMode::kSharedRead);
  ASSERT_TRUE(fd.has_value());
  auto entry = zip_read_directory(**fd);
  ASSERT_TRUE(entry.has_value()) << entry.error().message;
  fd->reset();
  const uint64_t zip_start = entry->data_offset;
  const uint64_t zip_end = entry->data_offset + entry->compressed_bytes;

  std::vector<std::pair<std::string, Damage>> cases;
  for (const auto& [image, name] :
       {std::pair{"small.img.gz", "gz"}, {"small.img.bz2", "bz2"}, {"small.img.zst", "zstd"}}) {
    const uint64_t size = test::read_file(test::fixture(image)).size();
    cases.push_back({"start", {image, name, 24}});
    cases.push_back({"middle", {image, name, size / 2}});
    cases.push_back({"end", {image, name, size - 3}});
  }
  cases.push_back({"start", {"small.zip", "zip", zip_start + 3}});
  cases.push_back({"middle", {"small.zip", "zip", (zip_start + zip_end) / 2}});
  cases.push_back({"end", {"small.zip", "zip", zip_end - 2}});
  cases.push_back({"length field", {"small-size.img.gz", "gz", std::nullopt}});
  cases.push_back(
      {"middle, auto", {"small.img.zst", "auto", test::read_file(test::fixture("small.img.zst")).size() / 2}});

  bool skip_readback = false;
  for (const auto& [where, d] : cases) {
    for (std::optional<uint64_t> total : {std::optional<uint64_t>(), std::optional(n / 2)}) {
      SCOPED_TRACE(std::string(d.image) + " damaged at the " + where + ", bytesTotal " +
                   (total ? std::to_string(*total) : "absent"));
      std::string bytes = test::read_file(test::fixture(d.image));
      if (d.at) bytes[*d.at] = static_cast<char>(bytes[*d.at] ^ 0x55);
      test::write_file(damaged, bytes);
      test::write_file(card, used);
      json payload = {{"imagePath", damaged}, {"osDevicePath", card}, {"decompress", d.decompress}};
      if (total) payload["bytesTotal"] = *total;
      skip_readback = !skip_readback;
      if (skip_readback) payload["skipReadback"] = true;
      test::FakeClock clock;
      auto run = test::run_write(payload, clock);
      ASSERT_FALSE(run.result.has_value());
      EXPECT_EQ(run.result.error().code, ErrorCode::kXzInvalid);
      const std::string format = std::string(d.decompress) == "auto" ? "zstd" : d.decompress;
      EXPECT_EQ(run.result.error().message.rfind("Invalid " + format + " image: ", 0), 0u)
          << run.result.error().message;
      for (const json& l : run.lines) EXPECT_NE(l["message"], "Disk buffers flushed");
      const std::string after = test::read_file(card);
      const uint64_t end = total.value_or(n);
      const uint64_t tail = end - std::min<uint64_t>(end, kMiB / 2);
      EXPECT_TRUE(after.substr(tail, end - tail) == used.substr(tail, end - tail))
          << "the last bytes before the end reached the card";
    }
  }

  // A named format is a promise; a zstd frame asking for a window above the
  // decoder's memory limit, and a zip entry that is encrypted or compressed
  // with a method the helper does not decode, are refused; all before the
  // target is touched.
  auto not_a = [](const std::string& name, const std::string& starts) {
    return "Invalid " + name + " image: the file does not start as a " + name + " file does (it starts as " + starts +
           ")";
  };
  const std::tuple<const char*, const char*, std::string> refused[] = {
      {"small.img.gz", "zstd", not_a("zstd", "a gz file")},
      {"small.img", "gz", not_a("gz", "no compressed format")},
      {"small.img.zst", "zip", not_a("zip", "a zstd file")},
      {"wide-window.zst", "auto",
       "Invalid zstd image: a frame asks for a 536870912-byte window, more than the decoder's limit of 268435456"},
      {"small-encrypted.zip", "zip", "Invalid zip image: entry small.img is encrypted; decrypt the archive first"},
      {"small-bzip2.zip", "auto",
       "Invalid zip image: entry small.img is compressed with method 12, which is not supported (only stored and "
       "deflated entries are)"},
  };
  for (const auto& [image, name, message] : refused) {
    test::write_file(card, used);
    test::FakeClock clock;
    auto run =
        test::run_write({{"imagePath", test::fixture(image)}, {"osDevicePath", card}, {"decompress", name}}, clock);
    ASSERT_FALSE(run.result.has_value());
    EXPECT_EQ(run.result.error(), (HelperError{ErrorCode::kXzInvalid, message}));
    EXPECT_TRUE(run.lines.empty());
    EXPECT_TRUE(test::read_file(card) == used);
  }
}

}  // namespace
}  // namespace dh
