// libFuzzer target: format detection and every decoder behind the decoded
// image source. The first byte of an input chooses the format (0: as "auto"
// finds it from the bytes; 1 to 5: xz, gz, bz2, zstd, zip, whatever the
// bytes say), the second the decoders' read buffer (1 byte to 32 KiB), the
// rest is the file. Each decoder must hand over whole pieces at piece
// boundaries and report checked offsets in order, never past what it
// decoded; the summary a write reads first must not crash; and the decoded
// source, on its own thread, must hand out (and hash) exactly the bytes the
// decoder produced when decoding succeeds, and fail when it fails.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decode/decoded_source.h"
#include "decode/decoder.h"
#include "decode/image_summary.h"
#include "decode/sha256.h"
#include "support/memory_file.h"

namespace {

// Inputs are small; a few bytes can still describe gigabytes (a zstd RLE
// block, a bzip2 run). Decoding stops past this much.
constexpr uint64_t kOutputLimit = 32u << 20;

class CheckingSink final : public dh::DecodeSink {
 public:
  dh::SysStatus write(const uint8_t* data, size_t len) override {
    if (short_piece || len == 0 || len > dh::kDecodeOutputChunk) std::abort();
    short_piece = len < dh::kDecodeOutputChunk;
    total += len;
    sha.update(data, len);
    if (total > kOutputLimit) return dh::unexpected(dh::SysError::fixed("output limit"));
    return {};
  }
  dh::SysStatus verified(uint64_t end) override {
    if (end < checked || end > decoded_bound()) std::abort();
    checked = end;
    return {};
  }
  // verified() may come before the last piece is handed over, never past a
  // whole piece beyond what was.
  uint64_t decoded_bound() const { return total + dh::kDecodeOutputChunk; }
  bool short_piece = false;
  uint64_t total = 0;
  uint64_t checked = 0;
  dh::Sha256 sha;
};

constexpr dh::ImageFormat kFormats[] = {dh::ImageFormat::kXz, dh::ImageFormat::kGzip, dh::ImageFormat::kBzip2,
                                        dh::ImageFormat::kZstd, dh::ImageFormat::kZip};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input_data, size_t input_size) {
  if (input_size < 2) return 0;
  const std::span<const uint8_t> data(input_data + 2, input_size - 2);
  const size_t window = 1 + (static_cast<size_t>(input_data[1]) << 7);
  dh::ImageFormat format = dh::detect_format(data);
  if (input_data[0] % 6 != 0) format = kFormats[input_data[0] % 6 - 1];
  if (format == dh::ImageFormat::kPlain) return 0;

  {
    dh::test::MemoryFile file(data);
    file.tells_length = true;
    (void)dh::summarize_image(file, format);
  }
  dh::test::MemoryFile file(data);
  file.tells_length = true;
  CheckingSink sink;
  auto decoded = dh::decode_image(file, format, window, sink, 1);
  if (decoded && sink.checked != sink.total) std::abort();  // the whole file checked
  if (!decoded && sink.total > kOutputLimit) return 0;

  dh::test::MemoryFile again(data);
  again.tells_length = true;
  dh::DecodedImageSource source(again, format, std::nullopt, /*hash=*/true, 1);
  uint64_t total = 0;
  bool failed = false;
  for (;;) {
    auto chunk = source.next();
    if (!chunk) {
      failed = true;
      break;
    }
    if (chunk->empty()) break;
    total += chunk->size();
  }
  if (failed == decoded.has_value()) std::abort();
  if (decoded && (total != sink.total || source.digest() != sink.sha.finish_hex())) std::abort();
  return 0;
}
