// libFuzzer target: the XZ decoder. The first two bytes of an input choose
// the size of the decoder's input window (1 to 64 KiB, little-endian value
// plus one), the rest is the .xz data, so that window refills fall anywhere
// in headers, blocks and the index. Whatever the decoder accepts, liblzma's
// own single-call decoder must accept too and produce the same number of
// bytes (our rules are stricter, never looser). The threaded decoder must
// hand over the same bytes, report the same blocks checked and end with the
// same text.
#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decode/sha256.h"
#include "decode/xz_decode.h"
#include "support/memory_file.h"

namespace {

class CountingSink final : public dh::DecodeSink {
 public:
  dh::SysStatus write(const uint8_t* data, size_t len) override {
    total += len;
    sha.update(data, len);
    // Small inputs cannot legitimately expand without bound; stop runaway
    // output (a 1-byte input can describe gigabytes of zeros) early.
    if (total > (64u << 20)) return dh::unexpected(dh::SysError::fixed("output limit"));
    return {};
  }
  dh::SysStatus verified(uint64_t end) override {
    // In stream order, never behind an earlier report.
    if (!checked.empty() && end < checked.back()) std::abort();
    checked.push_back(end);
    return {};
  }
  uint64_t total = 0;
  dh::Sha256 sha;
  std::vector<uint64_t> checked;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input_data, size_t input_size) {
  if (input_size < 2) return 0;
  const size_t window = 1 + (static_cast<size_t>(input_data[0]) | static_cast<size_t>(input_data[1]) << 8);
  const uint8_t* data = input_data + 2;
  const size_t size = input_size - 2;

  dh::test::MemoryFile input({data, size});
  CountingSink sink;
  auto decoded = dh::xz_decode(input, window, 64 * 1024, sink);
  dh::test::MemoryFile again({data, size});
  CountingSink threaded;
  auto threaded_decoded = dh::xz_decode(again, window, 64 * 1024, threaded, 2);
  if (threaded.total != sink.total || threaded.sha.finish_hex() != sink.sha.finish_hex() ||
      threaded.checked != sink.checked || decoded.has_value() != threaded_decoded.has_value() ||
      (!decoded && decoded.error() != threaded_decoded.error())) {
    std::abort();
  }
  if (!decoded) return 0;
  // A sound stream reports its last block checked at its very end.
  if (!sink.checked.empty() && sink.checked.back() != sink.total) std::abort();

  std::vector<uint8_t> out(sink.total + 1);
  uint64_t memlimit = dh::kXzMemoryLimit;
  size_t in_pos = 0;
  size_t out_pos = 0;
  lzma_ret ret =
      lzma_stream_buffer_decode(&memlimit, 0, nullptr, data, &in_pos, size, out.data(), &out_pos, out.size());
  if (ret != LZMA_OK || in_pos != size || out_pos != sink.total) std::abort();
  return 0;
}
