#include "decode/xz_decode.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "decode/xz_stream.h"

namespace dh {
namespace xz {

// liblzma reports codes only; these are the texts the commands show.
const char* const kTruncatedText = "XZ data ends unexpectedly: the file is truncated";
const char* const kMemoryText = "Not enough memory to decode the XZ image";
const char* const kBlockHeaderOptionsText = "XZ block header uses an unsupported filter or option";
const char* const kSha256CheckText =
    "Unsupported XZ integrity check type SHA-256; only none, CRC32 and CRC64 are accepted";
const char* const kIndexText = "XZ index is corrupt or does not match the blocks";
const char* const kFooterMismatchText = "XZ stream footer does not match the stream header";
const char* const kBackwardSizeText = "XZ stream footer does not match the size of the index";
const char* const kTrailingDataText =
    "Unexpected data after the end of the XZ stream (stream padding or a second stream)";

namespace {

constexpr const char* kNotXzText = "Not an XZ file: the stream header's magic bytes are missing";
constexpr const char* kHeaderCorruptText = "XZ stream header is corrupt (CRC32 mismatch)";
constexpr const char* kHeaderOptionsText = "XZ stream header uses unsupported flags";
constexpr const char* kBlockHeaderCorruptText = "XZ block header is corrupt (CRC32 mismatch)";
constexpr const char* kFilterChainText = "Unsupported XZ filter chain: every block must use LZMA2 as its only filter";
constexpr const char* kBlockDataText = "XZ block data is corrupt or fails its integrity check";
constexpr const char* kBlockOptionsText = "XZ block data uses unsupported LZMA2 options";
constexpr const char* kFooterMagicText = "XZ stream footer is missing its magic bytes";
constexpr const char* kFooterCorruptText = "XZ stream footer is corrupt (CRC32 mismatch)";
constexpr const char* kFooterOptionsText = "XZ stream footer uses unsupported flags";

std::string hex_byte(unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[(value >> 4) & 0xF] + kDigits[value & 0xF];
}

// Decodes into the sink's staging piece on the calling thread, as the
// one-thread decoder always did; no block is decoded elsewhere.
class DirectOutput final : public WalkOutput {
 public:
  explicit DirectOutput(PieceSink& pieces) : pieces_(pieces) {}
  SysResult<std::span<uint8_t>> room() override { return pieces_.room(); }
  Status commit(size_t n) override { return pieces_.commit(n); }
  Status block_checked() override { return pieces_.verified(); }
  Status end_of_blocks() override { return pieces_.flush_rest(); }
  SysResult<BlockJob*> claim(const lzma_block&, uint64_t, size_t) override { return static_cast<BlockJob*>(nullptr); }
  Status submit(BlockJob*) override { return {}; }

 private:
  PieceSink& pieces_;
};

}  // namespace

Status decode_stream_header(const uint8_t* header, size_t got, lzma_stream_flags& flags) {
  if (got < LZMA_STREAM_HEADER_SIZE) {
    // Too short to be a stream: say "truncated" only when what is there
    // starts like one.
    static constexpr uint8_t kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    bool prefix = got > 0 && std::memcmp(header, kMagic, std::min<size_t>(got, sizeof kMagic)) == 0;
    return unexpected(SysError::fixed(prefix ? kTruncatedText : kNotXzText));
  }
  if (lzma_ret ret = lzma_stream_header_decode(&flags, header); ret != LZMA_OK) {
    return unexpected(lzma_error(Part::kStreamHeader, ret));
  }
  switch (flags.check) {
    case LZMA_CHECK_NONE:
    case LZMA_CHECK_CRC32:
    case LZMA_CHECK_CRC64:
    case LZMA_CHECK_SHA256: return {};
    default:
      return unexpected(SysError::fixed("Unsupported XZ integrity check type " +
                                        hex_byte(static_cast<unsigned>(flags.check)) + " in the stream header"));
  }
}

Status decode_stream_footer(const uint8_t* footer, lzma_stream_flags& footer_flags) {
  if (lzma_ret ret = lzma_stream_footer_decode(&footer_flags, footer); ret != LZMA_OK) {
    return unexpected(lzma_error(Part::kStreamFooter, ret));
  }
  return {};
}

Status check_footer_matches(const lzma_stream_flags& header_flags, const lzma_stream_flags& footer_flags) {
  if (lzma_stream_flags_compare(&header_flags, &footer_flags) != LZMA_OK) {
    return unexpected(SysError::fixed(kFooterMismatchText));
  }
  return {};
}

SysError lzma_error(Part part, lzma_ret ret) {
  if (ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR) return SysError::fixed(kMemoryText);
  switch (part) {
    case Part::kStreamHeader:
      if (ret == LZMA_FORMAT_ERROR) return SysError::fixed(kNotXzText);
      return SysError::fixed(ret == LZMA_DATA_ERROR ? kHeaderCorruptText : kHeaderOptionsText);
    case Part::kStreamFooter:
      if (ret == LZMA_FORMAT_ERROR) return SysError::fixed(kFooterMagicText);
      return SysError::fixed(ret == LZMA_DATA_ERROR ? kFooterCorruptText : kFooterOptionsText);
    case Part::kBlockHeader:
      return SysError::fixed(ret == LZMA_DATA_ERROR ? kBlockHeaderCorruptText : kBlockHeaderOptionsText);
    case Part::kBlockData:
      switch (ret) {
        case LZMA_BUF_ERROR: return SysError::fixed(kTruncatedText);
        case LZMA_DATA_ERROR: return SysError::fixed(kBlockDataText);
        case LZMA_OPTIONS_ERROR: return SysError::fixed(kBlockOptionsText);
        default:
          return SysError::fixed("XZ decoder failed while reading the block data (liblzma code " +
                                 std::to_string(static_cast<int>(ret)) + ")");
      }
    case Part::kIndex: return SysError::fixed(ret == LZMA_BUF_ERROR ? kBackwardSizeText : kIndexText);
  }
  return SysError::fixed(kIndexText);
}

SysError image_read_error(const SysError& error) { return error.prefixed("Failed to read the image: "); }

SysResult<bool> InputWindow::fill() {
  auto got = file_.read(buffer_.get(), capacity_);
  if (!got) return unexpected(image_read_error(got.error()));
  pos = 0;
  end = *got;
  return end > 0;
}

Status InputWindow::take(uint8_t* out, size_t len, size_t& copied) {
  copied = 0;
  while (copied < len) {
    if (empty()) {
      auto more = fill();
      DH_TRY(more);
      if (!*more) break;
    }
    size_t n = std::min(len - copied, end - pos);
    std::memcpy(out + copied, buffer_.get() + pos, n);
    pos += n;
    copied += n;
  }
  return {};
}

Status InputWindow::take_exact(uint8_t* out, size_t len) {
  size_t copied = 0;
  if (auto r = take(out, len, copied); !r) return r;
  if (copied < len) return unexpected(SysError::fixed(kTruncatedText));
  return {};
}

void BlockFilters::take(BlockFilters& other) {
  lzma_filters_free(chain, nullptr);
  std::copy(std::begin(other.chain), std::end(other.chain), std::begin(chain));
  other.clear();
}

Status PieceSink::commit(size_t n) {
  taken_ += n;
  staged_ += n;
  if (staged_ < chunk_) return {};
  staged_ = 0;
  return sink_.write(staging_.get(), chunk_);
}

Status PieceSink::deliver(const uint8_t* data, size_t len) {
  if (staged_ > 0) {
    size_t n = std::min(len, chunk_ - staged_);
    std::memcpy(staging_.get() + staged_, data, n);
    data += n;
    len -= n;
    if (auto r = commit(n); !r) return r;
  }
  taken_ += len;
  for (; len >= chunk_; data += chunk_, len -= chunk_) {
    if (auto r = sink_.write(data, chunk_); !r) return r;
  }
  if (len > 0) {
    std::memcpy(staging_.get() + staged_, data, len);
    staged_ += len;
  }
  return {};
}

Status PieceSink::flush_rest() {
  if (staged_ == 0) return {};
  size_t n = staged_;
  staged_ = 0;
  return sink_.write(staging_.get(), n);
}

StreamWalker::StreamWalker(File& input, size_t read_buffer_size, WalkOutput& out)
    : in_(input, read_buffer_size), out_(out) {}

StreamWalker::~StreamWalker() {
  lzma_end(&strm_);
  if (index_hash_ != nullptr) lzma_index_hash_end(index_hash_, nullptr);
}

Status StreamWalker::run() {
  if (auto r = read_stream_header(); !r) return r;
  index_hash_ = lzma_index_hash_init(nullptr, nullptr);
  if (index_hash_ == nullptr) return unexpected(SysError::fixed(kMemoryText));
  for (;;) {
    if (in_.empty()) {
      auto more = in_.fill();
      DH_TRY(more);
      if (!*more) return unexpected(SysError::fixed(kTruncatedText));
    }
    // A zero byte where a block header would start is the index indicator.
    if (in_.data()[in_.pos] == 0x00) break;
    if (auto r = decode_block(); !r) return r;
  }
  if (auto r = out_.end_of_blocks(); !r) return r;
  if (auto r = decode_index(); !r) return r;
  if (auto r = read_stream_footer(); !r) return r;
  return expect_end_of_file();
}

Status StreamWalker::read_stream_header() {
  uint8_t header[LZMA_STREAM_HEADER_SIZE];
  size_t got = 0;
  if (auto r = in_.take(header, sizeof header, got); !r) return r;
  return decode_stream_header(header, got, flags_);
}

Status StreamWalker::decode_block() {
  // SHA-256 is refused before the first block that would need it, so no
  // byte that cannot be verified reaches the sink.
  if (flags_.check == LZMA_CHECK_SHA256) return unexpected(SysError::fixed(kSha256CheckText));

  uint8_t header[LZMA_BLOCK_HEADER_SIZE_MAX];
  if (auto r = in_.take_exact(header, 1); !r) return r;
  lzma_block block{};
  block.version = 1;
  block.check = flags_.check;
  block.header_size = lzma_block_header_size_decode(header[0]);
  if (auto r = in_.take_exact(header + 1, block.header_size - 1); !r) return r;

  BlockFilters filters;
  block.filters = filters.chain;
  if (lzma_ret ret = lzma_block_header_decode(&block, nullptr, header); ret != LZMA_OK) {
    return unexpected(lzma_error(Part::kBlockHeader, ret));
  }
  if (filters.chain[0].id != LZMA_FILTER_LZMA2 || filters.chain[1].id != LZMA_VLI_UNKNOWN) {
    return unexpected(SysError::fixed(kFilterChainText));
  }
  uint64_t needed = lzma_raw_decoder_memusage(filters.chain);
  if (needed > kXzMemoryLimit) {
    return unexpected(SysError::fixed("XZ block needs " + std::to_string((needed + (1u << 20) - 1) >> 20) +
                                      " MiB of memory to decode, more than the limit of " +
                                      std::to_string(kXzMemoryLimit >> 20) + " MiB"));
  }

  // lzma_block_total_size() is 0 unless the compressed size is known and
  // the whole block is a valid size.
  uint64_t total = lzma_block_total_size(&block);
  if (total != 0 && block.uncompressed_size != LZMA_VLI_UNKNOWN && total - block.header_size <= SIZE_MAX) {
    size_t input_size = static_cast<size_t>(total - block.header_size);
    auto job = out_.claim(block, needed, input_size);
    DH_TRY(job);
    if (*job != nullptr) return hand_over(**job, block, filters, input_size);
  }
  return decode_in_place(block);
}

Status StreamWalker::decode_in_place(lzma_block& block) {
  if (lzma_ret ret = lzma_block_decoder(&strm_, &block); ret != LZMA_OK) {
    // A data error cannot come from setting up the decoder: anything but
    // memory is options it cannot take.
    return unexpected(lzma_error(Part::kBlockHeader, ret == LZMA_DATA_ERROR ? LZMA_OPTIONS_ERROR : ret));
  }
  for (;;) {
    if (in_.empty()) {
      // At end of file the decoder still runs with no input: it may hold
      // output, and two calls without progress end in LZMA_BUF_ERROR.
      auto more = in_.fill();
      DH_TRY(more);
    }
    auto room = out_.room();
    DH_TRY(room);
    strm_.next_in = in_.data() + in_.pos;
    strm_.avail_in = in_.end - in_.pos;
    strm_.next_out = room->data();
    strm_.avail_out = room->size();
    lzma_ret ret = lzma_code(&strm_, LZMA_RUN);
    in_.pos = in_.end - strm_.avail_in;
    // Output of a failing call counts too: a piece it completes still goes
    // to the sink.
    if (auto r = out_.commit(room->size() - strm_.avail_out); !r) return r;
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) return unexpected(lzma_error(Part::kBlockData, ret));
  }
  if (lzma_index_hash_append(index_hash_, lzma_block_unpadded_size(&block), block.uncompressed_size) != LZMA_OK) {
    return unexpected(SysError::fixed(kIndexText));
  }
  // The block decoder ends only once the check after the data has matched.
  return out_.block_checked();
}

// The block's bytes go to a worker whole. Its sizes are the header's, which
// the worker's decoder holds the data to, so the index can take them now; a
// failure of the block itself comes first in stream order all the same.
Status StreamWalker::hand_over(BlockJob& job, lzma_block& block, BlockFilters& filters, size_t input_size) {
  job.block = block;
  job.filters.take(filters);
  job.block.filters = job.filters.chain;
  // The worker's decoder writes to job.block; the walk keeps to its copy.
  const lzma_vli unpadded = lzma_block_unpadded_size(&block);
  const lzma_vli uncompressed = block.uncompressed_size;
  size_t copied = 0;
  Status read = in_.take(job.input, input_size, copied);
  job.input_size = copied;
  job.ending = !read ? BlockEnding::kReadError : copied < input_size ? BlockEnding::kEndOfFile : BlockEnding::kComplete;
  if (auto r = out_.submit(&job); !r) return r;
  if (!read) return read;
  if (copied < input_size) return unexpected(SysError::fixed(kTruncatedText));
  if (lzma_index_hash_append(index_hash_, unpadded, uncompressed) != LZMA_OK) {
    return unexpected(SysError::fixed(kIndexText));
  }
  return {};
}

Status StreamWalker::decode_index() {
  for (;;) {
    if (in_.empty()) {
      auto more = in_.fill();
      DH_TRY(more);
      if (!*more) return unexpected(SysError::fixed(kTruncatedText));
    }
    size_t pos = in_.pos;
    lzma_ret ret = lzma_index_hash_decode(index_hash_, in_.data(), &pos, in_.end);
    in_.pos = pos;
    if (ret == LZMA_STREAM_END) return {};
    if (ret != LZMA_OK) return unexpected(lzma_error(Part::kIndex, ret == LZMA_BUF_ERROR ? LZMA_DATA_ERROR : ret));
  }
}

Status StreamWalker::read_stream_footer() {
  uint8_t footer[LZMA_STREAM_HEADER_SIZE];
  if (auto r = in_.take_exact(footer, sizeof footer); !r) return r;
  lzma_stream_flags footer_flags{};
  if (auto r = decode_stream_footer(footer, footer_flags); !r) return r;
  if (auto r = check_footer_matches(flags_, footer_flags); !r) return r;
  if (footer_flags.backward_size != lzma_index_hash_size(index_hash_)) {
    return unexpected(SysError::fixed(kBackwardSizeText));
  }
  return {};
}

Status StreamWalker::expect_end_of_file() {
  if (!in_.empty()) return unexpected(SysError::fixed(kTrailingDataText));
  auto more = in_.fill();
  DH_TRY(more);
  if (*more) return unexpected(SysError::fixed(kTrailingDataText));
  return {};
}

}  // namespace xz

unsigned xz_default_threads() {
  unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, kXzMaxThreads);
}

SysStatus xz_decode(File& input, size_t read_buffer_size, size_t output_chunk_size, DecodeSink& sink,
                    unsigned threads) {
  if (threads == kXzAutoThreads) threads = xz_default_threads();
  threads = std::min(threads, kXzMaxThreads);
  if (threads > 1) return xz::decode_threaded(input, read_buffer_size, output_chunk_size, sink, threads);
  xz::PieceSink pieces(sink, output_chunk_size);
  xz::DirectOutput out(pieces);
  xz::StreamWalker walker(input, read_buffer_size, out);
  return walker.run();
}

}  // namespace dh
