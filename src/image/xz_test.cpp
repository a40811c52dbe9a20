// The XZ workers against files made by the real xz tool: what they accept,
// what they refuse and why, the bytes they produce, and I/O failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "decode/sha256.h"
#include "decode/xz_decode.h"
#include "image/xz_image.h"
#include "decode/xz_index.h"
#include "platform/buffered_io.h"
#include "support/fault_file_system.h"
#include "support/loop_device.h"
#include "support/test_support.h"

namespace dh {
namespace {

std::string fixture(const std::string& name) { return test::native_path(FIXTURE_DIR "/" + name); }

std::string sha_of(const std::string& data) {
  Sha256 sha;
  sha.update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return sha.finish_hex();
}

std::string plain_sha() { return test::read_file(fixture("plain.sha256")).substr(0, 64); }
uint64_t plain_size() { return test::read_file(fixture("plain.bin")).size(); }

// What xz_read_index makes of a file: the decoded size, or its text.
SysResult<XzIndexSummary> index_of(const std::string& name) {
  auto file = native_file_system().open(fixture(name), OpenMode::kSharedRead);
  if (!file) return unexpected(file.error());
  return xz_read_index(**file);
}

TEST(XzAccepted, SingleStreamsWithNoneCrc32OrCrc64AndTheirBlocksDecodeExactly) {
  for (const char* name : {"check-none.xz", "check-crc32.xz", "check-crc64.xz", "multi-block.xz",
                           "multi-block-nosize.xz", "mixed-sizes.xz"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(xz_validate(fixture(name)).has_value());
    auto size = xz_uncompressed_size(fixture(name));
    ASSERT_TRUE(size.has_value()) << size.error().message;
    EXPECT_EQ(*size, plain_size());
    auto index = index_of(name);
    ASSERT_TRUE(index.has_value()) << index.error().message;
    EXPECT_EQ(index->uncompressed_bytes, plain_size());

    test::TempDir dir;
    std::string out = dir.file("out.img");
    auto sha = xz_extract(fixture(name), out);
    ASSERT_TRUE(sha.has_value()) << sha.error().message;
    std::string written = test::read_file(out);
    EXPECT_EQ(written.size(), *size);
    EXPECT_EQ(*sha, sha_of(written));
    EXPECT_EQ(*sha, plain_sha());  // sha256sum's view of the input
  }
}

TEST(XzAccepted, EmptyInputEvenWithSha256CheckBecauseNoBlockNeedsIt) {
  for (const char* name : {"empty.xz", "empty-sha256.xz"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(xz_validate(fixture(name)).has_value());
    auto size = xz_uncompressed_size(fixture(name));
    ASSERT_TRUE(size.has_value()) << size.error().message;
    EXPECT_EQ(*size, 0u);
    auto index = index_of(name);
    ASSERT_TRUE(index.has_value()) << index.error().message;
    EXPECT_EQ(index->uncompressed_bytes, 0u);
    test::TempDir dir;
    auto sha = xz_extract(fixture(name), dir.file("empty.img"));
    ASSERT_TRUE(sha.has_value()) << sha.error().message;
    EXPECT_EQ(*sha, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_TRUE(test::file_exists(dir.file("empty.img")));
    EXPECT_EQ(test::read_file(dir.file("empty.img")), "");
  }
}

// Each defect as the decoding commands refuse it, and as xz_read_index
// refuses it from the file's ends alone: with the same text (kSame), with
// its own (a file cut short shows no footer), or not at all (kBlocks: only
// decoding the blocks finds it).
TEST(XzRejected, EveryCommandGivesTheDecoderTextForEachDefect) {
  static const char kSame[] = "";
  static const char kBlocks[] = "";
  const char* const kNoFooter =
      "XZ stream footer is missing at the end of the file: the file is truncated or has data after the stream";
  struct Case {
    const char* name;
    const char* text;
    const char* ends;
  };
  const Case cases[] = {
      {"check-sha256.xz", "Unsupported XZ integrity check type SHA-256; only none, CRC32 and CRC64 are accepted",
       kSame},
      {"check-id-2.xz", "Unsupported XZ integrity check type 0x02 in the stream header", kSame},
      {"bcj.xz", "Unsupported XZ filter chain: every block must use LZMA2 as its only filter", kBlocks},
      {"padded.xz", "Unexpected data after the end of the XZ stream (stream padding or a second stream)", kSame},
      {"two-streams.xz", "Unexpected data after the end of the XZ stream (stream padding or a second stream)", kSame},
      {"truncated-middle.xz", "XZ data ends unexpectedly: the file is truncated", kNoFooter},
      {"truncated-footer.xz", "XZ data ends unexpectedly: the file is truncated", kNoFooter},
      {"flipped-last-block.xz", "XZ block data is corrupt or fails its integrity check", kBlocks},
      {"flipped-middle-block.xz", "XZ block data is corrupt or fails its integrity check", kBlocks},
      // Its longer block header moves every later byte away from where the
      // index places it.
      {"huge-size.xz", "XZ block data is corrupt or fails its integrity check",
       "XZ index is corrupt or does not match the blocks"},
      {"flipped-index.xz", "XZ index is corrupt or does not match the blocks", kSame},
      {"flipped-multi-index.xz", "XZ index is corrupt or does not match the blocks", kSame},
      {"flipped-footer.xz", "XZ stream footer is corrupt (CRC32 mismatch)", kSame},
      {"plain.bin", "Not an XZ file: the stream header's magic bytes are missing", kSame},
      {"plain.bin.gz", "Not an XZ file: the stream header's magic bytes are missing", kSame},
      {"empty.bin", "Not an XZ file: the stream header's magic bytes are missing", kSame},
      {"large-dictionary.xz", "XZ block needs 1537 MiB of memory to decode, more than the limit of 256 MiB", kBlocks},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto index = index_of(c.name);
    if (c.ends == kBlocks) {
      EXPECT_TRUE(index.has_value()) << index.error().message;
    } else {
      ASSERT_FALSE(index.has_value());
      EXPECT_EQ(index.error().message, c.ends == kSame ? c.text : c.ends);
    }
    auto valid = xz_validate(fixture(c.name));
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(valid.error().message, c.text);
    auto size = xz_uncompressed_size(fixture(c.name));
    ASSERT_FALSE(size.has_value());
    EXPECT_EQ(size.error().message, c.text);
    test::TempDir dir;
    auto sha = xz_extract(fixture(c.name), dir.file("out.img"));
    ASSERT_FALSE(sha.has_value());
    EXPECT_EQ(sha.error().message, c.text);
  }
}

TEST(XzRejected, ShortInputsSayTruncatedOnlyWhenTheyStartLikeXz) {
  test::TempDir dir;
  test::write_file(dir.file("magic.xz"), std::string("\xFD"
                                                     "7zXZ",
                                                     5));
  test::write_file(dir.file("short.txt"), "hello");
  EXPECT_EQ(xz_validate(dir.file("magic.xz")).error().message, "XZ data ends unexpectedly: the file is truncated");
  EXPECT_EQ(xz_validate(dir.file("short.txt")).error().message,
            "Not an XZ file: the stream header's magic bytes are missing");
}

TEST(XzReads, ValidationAndSizeRead8KiBAtATimeExtractionReads4MiB) {
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  ASSERT_TRUE(xz_validate(fixture("multi-block.xz")).has_value());
  ASSERT_FALSE(fs.read_lengths().empty());
  for (size_t len : fs.read_lengths()) EXPECT_EQ(len, 8u * 1024);
  EXPECT_EQ(fs.opened()[0].second, OpenMode::kSharedRead);

  fs.read_lengths().clear();
  test::TempDir dir;
  ASSERT_TRUE(xz_extract(fixture("multi-block.xz"), dir.file("o")).has_value());
  for (size_t len : fs.read_lengths()) EXPECT_EQ(len, kIoBufferSize);
  ASSERT_EQ(fs.opened().size(), 3u);
  EXPECT_EQ(fs.opened()[1].second, OpenMode::kSharedRead);
  EXPECT_EQ(fs.opened()[2].second, OpenMode::kCreateTruncate);
}

TEST(XzFailures, AReadErrorCarriesTheSystemText) {
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  fs.any_path.fail_reads_after = 100000;
  fs.any_path.io_error = SysError{23, "Data error (cyclic redundancy check). (os error 23)"};
  EXPECT_EQ(xz_validate(fixture("check-crc64.xz")).error().message,
            "Failed to read the image: Data error (cyclic redundancy check). (os error 23)");
}

TEST(XzFailures, AWriteErrorWhileDecodingLeavesThePartialOutput) {
  test::TempDir dir;
  std::string out = dir.file("out.img");
  test::write_file(out, std::string(100, 'x'));  // replaced, then partly written
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  fs.any_path.fail_writes_after = kIoBufferSize;  // the second 4 MiB piece fails
  auto sha = xz_extract(fixture("pattern.xz"), out);
  ASSERT_FALSE(sha.has_value());
  EXPECT_EQ(sha.error().message, "Failed to write the extracted image: No space left on device (os error 28)");
  std::string expected;
  while (expected.size() < kIoBufferSize) expected += "disk-helper\n";
  expected.resize(kIoBufferSize);
  EXPECT_EQ(test::read_file(out), expected);
}

TEST(XzFailures, AWriteOrCommitFailingAtAnyChunkLeavesExactlyTheChunksBeforeIt) {
  // pattern.xz decodes to 10 MiB: two whole 4 MiB chunks and a last short
  // one, each written with one call while the next is decoded.
  std::string expected;
  while (expected.size() < 10 * 1024 * 1024) expected += "disk-helper\n";
  expected.resize(10 * 1024 * 1024);
  const std::string text = os_error_text(5);
  const std::string during = "Failed to write the extracted image: " + text;
  const struct {
    int failing_write;  // -1: none
    bool failing_flush;
    std::string error;
    size_t written;
  } cases[] = {
      {0, false, during, 0},
      {1, false, during, kIoBufferSize},
      {2, false, text, 2 * kIoBufferSize},
      {-1, true, text, expected.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing_write);
    test::TempDir dir;
    std::string out = dir.file("out.img");
    test::FaultFileSystem fs;
    ScopedFileSystem scoped(fs);
    if (c.failing_write >= 0) fs.fail_write(out, c.failing_write, 5);
    if (c.failing_flush) fs.fail_flush(out, 5);
    auto sha = xz_extract(fixture("pattern.xz"), out);
    ASSERT_FALSE(sha.has_value());
    EXPECT_EQ(sha.error().message, c.error);
    EXPECT_EQ(fs.writes(out), c.failing_write >= 0 ? c.failing_write + 1 : 3);
    EXPECT_TRUE(test::read_file(out) == expected.substr(0, c.written));
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

TEST(XzExtract, ZeroRunsReadBackAsZerosAndTheFileKeepsItsLength) {
  test::TempDir dir;
  // Data, a run of zeros spanning whole buffers, data, and zeros to the end:
  // the skipped ranges must read back as zeros, and a trailing skipped range
  // must still give the file its length.
  std::string holes = dir.file("holes.img");
  test::write_file(holes, std::string(100, 'x'));  // replaced
  auto sha = xz_extract(fixture("holes.xz"), holes);
  ASSERT_TRUE(sha.has_value()) << sha.error().message;
  std::string bytes = test::read_file(holes);
  EXPECT_EQ(bytes, test::read_file(fixture("holes.bin")));
  EXPECT_EQ(*sha, test::read_file(fixture("holes.sha256")).substr(0, 64));

  std::string zeros = dir.file("zeros.img");
  ASSERT_TRUE(xz_extract(fixture("zeros.xz"), zeros).has_value());
  EXPECT_EQ(test::read_file(zeros), std::string(10 * 1024 * 1024, '\0'));
}

TEST(XzExtract, AnOutputThatReachesADeviceIsNeverWritten) {
  // The command refuses a device path before it opens anything; the worker
  // still refuses a handle that reaches one (a link repointed meanwhile).
  test::LoopDevice loop(16 << 20);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  const std::string used(16 << 20, '\xA5');
  {
    auto device = native_file_system().open(loop.path(), OpenMode::kExclusiveWrite);
    ASSERT_TRUE(device.has_value()) << device.error().message;
    ASSERT_TRUE(write_all(**device, reinterpret_cast<const uint8_t*>(used.data()), used.size()).has_value());
  }
  auto sha = xz_extract(fixture("holes.xz"), loop.path());
  ASSERT_FALSE(sha.has_value());
  EXPECT_EQ(sha.error().message,
            "Refusing outputPath " + loop.path() + ": it names a device; the output must be a regular file");
  EXPECT_TRUE(test::read_file(loop.path()) == used);
}

TEST(XzFailures, WritingOutTheLastBytesOrCommittingFailsWithTheSystemText) {
  test::TempDir dir;
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  fs.any_path.fail_writes_after = 0;  // the whole output is still in the write buffer at the end
  EXPECT_EQ(xz_extract(fixture("check-crc64.xz"), dir.file("a")).error().message,
            "No space left on device (os error 28)");

  fs.any_path.fail_writes_after = UINT64_MAX;
  fs.any_path.flush_error = SysError{5, "Input/output error (os error 5)"};
  EXPECT_EQ(xz_extract(fixture("check-crc64.xz"), dir.file("b")).error().message, "Input/output error (os error 5)");
  EXPECT_EQ(test::read_file(dir.file("b")).size(), plain_size());
}

TEST(XzExtract, RefusesAnOutputThatIsTheImageItself) {
  test::TempDir dir;
  std::filesystem::create_directories(std::filesystem::u8path(dir.file("sub")));
  std::string image = dir.file("image.xz");
  std::string original = test::read_file(fixture("check-crc64.xz"));
  test::write_file(image, original);
  std::string link = dir.file("link.xz");
  std::filesystem::create_hard_link(std::filesystem::u8path(image), std::filesystem::u8path(link));

  const std::string sep = test::on_windows() ? "\\" : "/";
  for (const std::string& out : {image, dir.path() + sep + "sub" + sep + ".." + sep + "image.xz",
                                 dir.path() + sep + "." + sep + "image.xz", link}) {
    SCOPED_TRACE(out);
    auto sha = xz_extract(image, out);
    ASSERT_FALSE(sha.has_value());
    EXPECT_EQ(sha.error().message, "Output path is the image file itself; choose another outputPath: " + out);
    EXPECT_EQ(test::read_file(image), original);
  }
  // A different file with the same contents is fine.
  std::string copy = dir.file("copy.xz");
  test::write_file(copy, original);
  EXPECT_TRUE(xz_extract(image, copy).has_value());
}

TEST(XzFailures, OpenFailuresCarryTheSystemTextAndTouchNoOutput) {
  test::TempDir dir;
  std::string out = dir.file("out.img");
  auto from_dir = xz_extract(dir.path(), out);
  ASSERT_FALSE(from_dir.has_value());
  EXPECT_NE(from_dir.error().message.find("(os error "), std::string::npos) << from_dir.error().message;
  EXPECT_FALSE(test::file_exists(out));

  auto into_missing_dir = xz_extract(fixture("check-crc64.xz"), dir.file("no-such-dir") + "/out.img");
  ASSERT_FALSE(into_missing_dir.has_value());
  EXPECT_NE(into_missing_dir.error().message.find("(os error "), std::string::npos) << into_missing_dir.error().message;
  EXPECT_FALSE(test::file_exists(dir.file("no-such-dir")));
}

// What a decoder handed to its sink: every piece (the failing one too), the
// bytes it accepted, the error, and whether every call came on the caller's
// thread.
struct Decoded {
  std::vector<size_t> pieces;
  std::vector<uint64_t> verified;  // the ends the decoder reported checked
  std::string bytes;
  std::string error;
  bool on_caller_thread = true;
  bool operator==(const Decoded&) const = default;
};

class RecordingSink final : public DecodeSink {
 public:
  RecordingSink(Decoded& out, uint64_t fail_after) : out_(out), fail_after_(fail_after) {}
  SysStatus write(const uint8_t* data, size_t len) override {
    out_.on_caller_thread = out_.on_caller_thread && std::this_thread::get_id() == caller_;
    out_.pieces.push_back(len);
    if (out_.bytes.size() + len > fail_after_)
      return unexpected(SysError::fixed("sink full at " + std::to_string(out_.bytes.size())));
    out_.bytes.append(reinterpret_cast<const char*>(data), len);
    return {};
  }
  SysStatus verified(uint64_t end) override {
    out_.verified.push_back(end);
    return {};
  }

 private:
  Decoded& out_;
  uint64_t fail_after_;
  std::thread::id caller_ = std::this_thread::get_id();
};

struct Failures {
  uint64_t sink_after = UINT64_MAX;
  uint64_t reads_after = UINT64_MAX;
};

Decoded decode(const std::string& name, unsigned threads, size_t read_buffer, Failures failures = {}) {
  test::FaultFileSystem fs;
  fs.any_path.fail_reads_after = failures.reads_after;
  fs.any_path.io_error = SysError{5, "Input/output error (os error 5)"};
  ScopedFileSystem scoped(fs);
  auto file = file_system().open(fixture(name), OpenMode::kSharedRead);
  EXPECT_TRUE(file.has_value());
  if (!file) return {};
  Decoded out;
  RecordingSink sink(out, failures.sink_after);
  if (auto r = xz_decode(**file, read_buffer, kXzOutputChunk, sink, threads); !r) out.error = r.error().message;
  return out;
}

// Several threads change when blocks are decoded, never what the sink sees:
// the same pieces and bytes up to the same first failure, whatever fails
// (the data, the sink, a read) and wherever (first, middle or last block,
// index).
TEST(XzThreads, TheSinkSeesExactlyWhatOneThreadGivesIt) {
  const char* names[] = {"check-crc64.xz",
                         "multi-block.xz",
                         "multi-block-nosize.xz",
                         "mixed-sizes.xz",
                         "empty.xz",
                         "empty-sha256.xz",
                         "check-sha256.xz",
                         "check-id-2.xz",
                         "bcj.xz",
                         "padded.xz",
                         "two-streams.xz",
                         "truncated-middle.xz",
                         "truncated-footer.xz",
                         "flipped-middle-block.xz",
                         "flipped-last-block.xz",
                         "flipped-index.xz",
                         "flipped-multi-index.xz",
                         "flipped-footer.xz",
                         "huge-size.xz",
                         "large-dictionary.xz",
                         "plain.bin"};
  for (const char* name : names) {
    for (size_t read_buffer : {size_t{8 * 1024}, kIoBufferSize}) {
      SCOPED_TRACE(std::string(name) + " read buffer " + std::to_string(read_buffer));
      Decoded one = decode(name, 1, read_buffer);
      EXPECT_EQ(decode(name, 2, read_buffer), one);
      EXPECT_EQ(decode(name, 3, read_buffer), one);
    }
  }

  // multi-block.xz: 13 blocks, 12 of 256 KiB (four pieces each);
  // mixed-sizes.xz decodes its block 7 in place.
  const uint64_t block = 256 * 1024;
  const Failures failures[] = {
      {.sink_after = 0},
      {.sink_after = 100000},
      {.sink_after = 6 * block + 3 * kXzOutputChunk},
      {.sink_after = 12 * block + 1},
      {.sink_after = plain_size() - 1},
      {.reads_after = 1000},          // inside the first block
      {.reads_after = 9088},          // just after the first block
      {.reads_after = 600 * 1024},    // a middle block
      {.reads_after = 1298264 - 60},  // the index
  };
  // Each block is reported checked at its end, and a damaged one never.
  std::vector<uint64_t> ends;
  for (uint64_t end = block; end < plain_size(); end += block) ends.push_back(end);
  ends.push_back(plain_size());
  for (unsigned threads : {1u, 3u}) {
    EXPECT_EQ(decode("multi-block.xz", threads, 8 * 1024).verified, ends);
    EXPECT_EQ(decode("multi-block-nosize.xz", threads, 8 * 1024).verified, ends);
    Decoded damaged = decode("flipped-middle-block.xz", threads, 8 * 1024);
    ASSERT_FALSE(damaged.verified.empty());
    EXPECT_LT(damaged.verified.back(), plain_size());
    EXPECT_LE(damaged.verified.back(), damaged.bytes.size());
  }

  for (const char* name : {"multi-block.xz", "mixed-sizes.xz", "flipped-middle-block.xz"}) {
    for (const auto& f : failures) {
      SCOPED_TRACE(std::string(name) + " sink fails after " + std::to_string(f.sink_after) + ", reads after " +
                   std::to_string(f.reads_after));
      Decoded one = decode(name, 1, 8 * 1024, f);
      EXPECT_FALSE(one.error.empty());
      EXPECT_TRUE(one.on_caller_thread);
      EXPECT_EQ(decode(name, 2, 8 * 1024, f), one);
      EXPECT_EQ(decode(name, 3, 8 * 1024, f), one);
    }
  }
}

}  // namespace
}  // namespace dh
