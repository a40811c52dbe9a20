#include "image/xz_decode.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace dh {
namespace {

// liblzma reports codes only; these are the texts the commands show.
constexpr const char* kNotXzText = "Not an XZ file: the stream header's magic bytes are missing";
constexpr const char* kTruncatedText = "XZ data ends unexpectedly: the file is truncated";
constexpr const char* kHeaderCorruptText = "XZ stream header is corrupt (CRC32 mismatch)";
constexpr const char* kHeaderOptionsText = "XZ stream header uses unsupported flags";
constexpr const char* kSha256CheckText =
    "Unsupported XZ integrity check type SHA-256; only none, CRC32 and CRC64 are accepted";
constexpr const char* kBlockHeaderCorruptText = "XZ block header is corrupt (CRC32 mismatch)";
constexpr const char* kBlockHeaderOptionsText = "XZ block header uses an unsupported filter or option";
constexpr const char* kFilterChainText =
    "Unsupported XZ filter chain: every block must use LZMA2 as its only filter";
constexpr const char* kBlockDataText = "XZ block data is corrupt or fails its integrity check";
constexpr const char* kBlockOptionsText = "XZ block data uses unsupported LZMA2 options";
constexpr const char* kMemoryText = "Not enough memory to decode the XZ image";
constexpr const char* kIndexText = "XZ index is corrupt or does not match the blocks";
constexpr const char* kFooterMagicText = "XZ stream footer is missing its magic bytes";
constexpr const char* kFooterCorruptText = "XZ stream footer is corrupt (CRC32 mismatch)";
constexpr const char* kFooterOptionsText = "XZ stream footer uses unsupported flags";
constexpr const char* kFooterMismatchText = "XZ stream footer does not match the stream header";
constexpr const char* kBackwardSizeText = "XZ stream footer does not match the size of the index";
constexpr const char* kTrailingDataText =
    "Unexpected data after the end of the XZ stream (stream padding or a second stream)";

std::string unexpected_code_text(const char* what, lzma_ret ret) {
  return std::string("XZ decoder failed while reading the ") + what + " (liblzma code " +
         std::to_string(static_cast<int>(ret)) + ")";
}

std::string hex_byte(unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[(value >> 4) & 0xF] + kDigits[value & 0xF];
}

// The image bytes in front of the decoder: one buffer, refilled by single
// reads of the file when it runs empty.
class InputWindow {
 public:
  InputWindow(File& file, size_t capacity) : file_(file), buffer_(new uint8_t[capacity]), capacity_(capacity) {}

  const uint8_t* data() const { return buffer_.get(); }
  size_t pos = 0;
  size_t end = 0;

  bool empty() const { return pos == end; }

  // Refills an empty window; false at end of file.
  Expected<bool, std::string> fill() {
    auto got = file_.read(buffer_.get(), capacity_);
    if (!got) return unexpected("Failed to read the image: " + got.error().message);
    pos = 0;
    end = *got;
    return end > 0;
  }

  // Copies up to `len` bytes, stopping early only at end of file; returns
  // how many were copied.
  Expected<size_t, std::string> take(uint8_t* out, size_t len) {
    size_t done = 0;
    while (done < len) {
      if (empty()) {
        auto more = fill();
        if (!more) return unexpected(std::move(more).error());
        if (!*more) break;
      }
      size_t n = std::min(len - done, end - pos);
      std::memcpy(out + done, buffer_.get() + pos, n);
      pos += n;
      done += n;
    }
    return done;
  }

  Expected<void, std::string> take_exact(uint8_t* out, size_t len) {
    auto got = take(out, len);
    if (!got) return unexpected(std::move(got).error());
    if (*got < len) return unexpected(std::string(kTruncatedText));
    return {};
  }

 private:
  File& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
};

// The filter chain of one block header; liblzma allocates the options.
struct BlockFilters {
  lzma_filter chain[LZMA_FILTERS_MAX + 1];
  BlockFilters() {
    for (auto& filter : chain) filter = lzma_filter{LZMA_VLI_UNKNOWN, nullptr};
  }
  ~BlockFilters() { lzma_filters_free(chain, nullptr); }
  BlockFilters(const BlockFilters&) = delete;
  BlockFilters& operator=(const BlockFilters&) = delete;
};

// Walks the stream piece by piece (header, blocks, index, footer) so that
// each acceptance rule is checked where liblzma's one-call stream decoder
// would have been more lenient: it accepts SHA-256, BCJ filters, stream
// padding and concatenated streams.
class StreamDecoder {
 public:
  StreamDecoder(File& input, size_t read_buffer_size, size_t output_chunk_size, XzSink& sink)
      : in_(input, read_buffer_size), out_(new uint8_t[output_chunk_size]), out_size_(output_chunk_size),
        sink_(sink) {}
  ~StreamDecoder() {
    lzma_end(&strm_);
    if (index_hash_ != nullptr) lzma_index_hash_end(index_hash_, nullptr);
  }
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  Expected<void, std::string> run() {
    if (auto r = read_stream_header(); !r) return r;
    index_hash_ = lzma_index_hash_init(nullptr, nullptr);
    if (index_hash_ == nullptr) return unexpected(std::string(kMemoryText));
    for (;;) {
      if (in_.empty()) {
        auto more = in_.fill();
        if (!more) return unexpected(std::move(more).error());
        if (!*more) return unexpected(std::string(kTruncatedText));
      }
      // A zero byte where a block header would start is the index indicator.
      if (in_.data()[in_.pos] == 0x00) break;
      if (auto r = decode_block(); !r) return r;
    }
    if (auto r = flush_output(); !r) return r;
    if (auto r = decode_index(); !r) return r;
    if (auto r = read_stream_footer(); !r) return r;
    return expect_end_of_file();
  }

 private:
  Expected<void, std::string> read_stream_header() {
    uint8_t header[LZMA_STREAM_HEADER_SIZE];
    auto got = in_.take(header, sizeof header);
    if (!got) return unexpected(std::move(got).error());
    if (*got < sizeof header) {
      // Too short to be a stream: say "truncated" only when what is there
      // starts like one.
      static constexpr uint8_t kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
      bool prefix = *got > 0 && std::memcmp(header, kMagic, std::min<size_t>(*got, sizeof kMagic)) == 0;
      return unexpected(std::string(prefix ? kTruncatedText : kNotXzText));
    }
    switch (lzma_stream_header_decode(&flags_, header)) {
      case LZMA_OK: break;
      case LZMA_FORMAT_ERROR: return unexpected(std::string(kNotXzText));
      case LZMA_DATA_ERROR: return unexpected(std::string(kHeaderCorruptText));
      default: return unexpected(std::string(kHeaderOptionsText));  // LZMA_OPTIONS_ERROR and anything else
    }
    switch (flags_.check) {
      case LZMA_CHECK_NONE:
      case LZMA_CHECK_CRC32:
      case LZMA_CHECK_CRC64:
      case LZMA_CHECK_SHA256: return {};
      default:
        return unexpected("Unsupported XZ integrity check type " + hex_byte(static_cast<unsigned>(flags_.check)) +
                          " in the stream header");
    }
  }

  Expected<void, std::string> decode_block() {
    // SHA-256 is refused before the first block that would need it, so no
    // byte that cannot be verified reaches the sink.
    if (flags_.check == LZMA_CHECK_SHA256) return unexpected(std::string(kSha256CheckText));

    uint8_t header[LZMA_BLOCK_HEADER_SIZE_MAX];
    if (auto r = in_.take_exact(header, 1); !r) return r;
    lzma_block block{};
    block.version = 1;
    block.check = flags_.check;
    block.header_size = lzma_block_header_size_decode(header[0]);
    if (auto r = in_.take_exact(header + 1, block.header_size - 1); !r) return r;

    BlockFilters filters;
    block.filters = filters.chain;
    switch (lzma_block_header_decode(&block, nullptr, header)) {
      case LZMA_OK: break;
      case LZMA_DATA_ERROR: return unexpected(std::string(kBlockHeaderCorruptText));
      case LZMA_OPTIONS_ERROR: return unexpected(std::string(kBlockHeaderOptionsText));
      case LZMA_MEM_ERROR: return unexpected(std::string(kMemoryText));
      default: return unexpected(std::string(kBlockHeaderOptionsText));
    }
    if (filters.chain[0].id != LZMA_FILTER_LZMA2 || filters.chain[1].id != LZMA_VLI_UNKNOWN) {
      return unexpected(std::string(kFilterChainText));
    }
    uint64_t needed = lzma_raw_decoder_memusage(filters.chain);
    if (needed > kXzMemoryLimit) {
      return unexpected("XZ block needs " + std::to_string((needed + (1u << 20) - 1) >> 20) +
                        " MiB of memory to decode, more than the limit of " +
                        std::to_string(kXzMemoryLimit >> 20) + " MiB");
    }
    switch (lzma_block_decoder(&strm_, &block)) {
      case LZMA_OK: break;
      case LZMA_MEM_ERROR: return unexpected(std::string(kMemoryText));
      default: return unexpected(std::string(kBlockHeaderOptionsText));  // LZMA_OPTIONS_ERROR and anything else
    }

    for (;;) {
      if (in_.empty()) {
        // At end of file the decoder still runs with no input: it may hold
        // output, and two calls without progress end in LZMA_BUF_ERROR.
        auto more = in_.fill();
        if (!more) return unexpected(std::move(more).error());
      }
      strm_.next_in = in_.data() + in_.pos;
      strm_.avail_in = in_.end - in_.pos;
      strm_.next_out = out_.get() + out_used_;
      strm_.avail_out = out_size_ - out_used_;
      lzma_ret ret = lzma_code(&strm_, LZMA_RUN);
      in_.pos = in_.end - strm_.avail_in;
      out_used_ = out_size_ - strm_.avail_out;
      if (out_used_ == out_size_) {
        if (auto r = flush_output(); !r) return r;
      }
      if (ret == LZMA_STREAM_END) break;
      switch (ret) {
        case LZMA_OK: continue;
        case LZMA_BUF_ERROR: return unexpected(std::string(kTruncatedText));
        case LZMA_DATA_ERROR: return unexpected(std::string(kBlockDataText));
        case LZMA_OPTIONS_ERROR: return unexpected(std::string(kBlockOptionsText));
        case LZMA_MEM_ERROR: return unexpected(std::string(kMemoryText));
        default: return unexpected(unexpected_code_text("block data", ret));
      }
    }
    if (lzma_index_hash_append(index_hash_, lzma_block_unpadded_size(&block), block.uncompressed_size) != LZMA_OK) {
      return unexpected(std::string(kIndexText));
    }
    return {};
  }

  Expected<void, std::string> decode_index() {
    for (;;) {
      if (in_.empty()) {
        auto more = in_.fill();
        if (!more) return unexpected(std::move(more).error());
        if (!*more) return unexpected(std::string(kTruncatedText));
      }
      size_t pos = in_.pos;
      lzma_ret ret = lzma_index_hash_decode(index_hash_, in_.data(), &pos, in_.end);
      in_.pos = pos;
      if (ret == LZMA_STREAM_END) return {};
      if (ret != LZMA_OK) return unexpected(std::string(kIndexText));
    }
  }

  Expected<void, std::string> read_stream_footer() {
    uint8_t footer[LZMA_STREAM_HEADER_SIZE];
    if (auto r = in_.take_exact(footer, sizeof footer); !r) return r;
    lzma_stream_flags footer_flags{};
    switch (lzma_stream_footer_decode(&footer_flags, footer)) {
      case LZMA_OK: break;
      case LZMA_FORMAT_ERROR: return unexpected(std::string(kFooterMagicText));
      case LZMA_DATA_ERROR: return unexpected(std::string(kFooterCorruptText));
      default: return unexpected(std::string(kFooterOptionsText));
    }
    if (lzma_stream_flags_compare(&flags_, &footer_flags) != LZMA_OK) {
      return unexpected(std::string(kFooterMismatchText));
    }
    if (footer_flags.backward_size != lzma_index_hash_size(index_hash_)) {
      return unexpected(std::string(kBackwardSizeText));
    }
    return {};
  }

  Expected<void, std::string> expect_end_of_file() {
    if (!in_.empty()) return unexpected(std::string(kTrailingDataText));
    auto more = in_.fill();
    if (!more) return unexpected(std::move(more).error());
    if (*more) return unexpected(std::string(kTrailingDataText));
    return {};
  }

  Expected<void, std::string> flush_output() {
    if (out_used_ == 0) return {};
    size_t n = out_used_;
    out_used_ = 0;
    return sink_.write(out_.get(), n);
  }

  InputWindow in_;
  std::unique_ptr<uint8_t[]> out_;
  size_t out_size_;
  size_t out_used_ = 0;
  XzSink& sink_;
  lzma_stream strm_ = LZMA_STREAM_INIT;
  lzma_stream_flags flags_{};
  lzma_index_hash* index_hash_ = nullptr;
};

}  // namespace

Expected<void, std::string> xz_decode(File& input, size_t read_buffer_size, size_t output_chunk_size,
                                      XzSink& sink) {
  StreamDecoder decoder(input, read_buffer_size, output_chunk_size, sink);
  return decoder.run();
}

}  // namespace dh
