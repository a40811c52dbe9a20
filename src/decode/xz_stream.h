// The parts of xz_decode shared by its one-thread and its threaded form:
// the walk over the stream's structure, the block decoding loop, and the
// hand-over of decoded bytes in whole pieces. Internal to src/image.
#pragma once

#include <lzma.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/result.h"
#include "decode/xz_decode.h"
#include "platform/file.h"

namespace dh::xz {

using Status = SysStatus;

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
  SysResult<bool> fill();
  // Copies up to `len` bytes, stopping early only at end of file or on a read
  // failure; `copied` tells how many were copied in either case.
  Status take(uint8_t* out, size_t len, size_t& copied);
  // As take, and fewer than `len` bytes is a truncated file.
  Status take_exact(uint8_t* out, size_t len);

 private:
  File& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
};

// The filter chain of one block header; liblzma allocates the options.
struct BlockFilters {
  lzma_filter chain[LZMA_FILTERS_MAX + 1];
  BlockFilters() { clear(); }
  ~BlockFilters() { lzma_filters_free(chain, nullptr); }
  BlockFilters(const BlockFilters&) = delete;
  BlockFilters& operator=(const BlockFilters&) = delete;
  // Takes over `other`'s options, leaving it empty.
  void take(BlockFilters& other);

 private:
  void clear() {
    for (auto& filter : chain) filter = lzma_filter{LZMA_VLI_UNKNOWN, nullptr};
  }
};

// How a block's bytes after its header were gathered for a worker.
enum class BlockEnding {
  kComplete,   // all of them
  kEndOfFile,  // the file ends inside the block
  kReadError,  // a read failed inside the block
};

// A block whose header gives both sizes, read whole, decoded off the walk.
struct BlockJob {
  lzma_block block{};
  BlockFilters filters;
  uint8_t* input = nullptr;    // the block's data, padding and check
  size_t input_size = 0;       // bytes gathered
  uint8_t* output = nullptr;   // room for block.uncompressed_size bytes
  uint64_t stream_offset = 0;  // decoded bytes before the block
  BlockEnding ending = BlockEnding::kComplete;
  uint64_t produced = 0;  // decoded bytes in `output` so far
  bool checked = false;   // decoded whole, its check matched
};

// Decodes the job's block the way the walk would have decoded it in place:
// output steps end at multiples of `chunk` in the stream, an incomplete
// block stops where the walk would have met the end of its input.
// `progress(produced)` is called after every step that made output and may
// ask to stop early by returning false. Gives the decoder's text on failure.
template <class Progress>
Status decode_job(lzma_stream& strm, BlockJob& job, size_t chunk, Progress&& progress);

// Where the walk puts what it decodes.
class WalkOutput {
 public:
  virtual ~WalkOutput() = default;
  // Room to decode into; never empty.
  virtual SysResult<std::span<uint8_t>> room() = 0;
  // `n` bytes of the last room() now hold decoded data.
  virtual Status commit(size_t n) = 0;
  // The block just decoded in place has passed its integrity check.
  virtual Status block_checked() = 0;
  // Every block is decoded; the index follows.
  virtual Status end_of_blocks() = 0;
  // Offered each block whose header gives both sizes, once its header has
  // passed every check: a job with room for `input_size` bytes of input and
  // the decoded bytes, to be filled and handed to submit(); or nullptr to
  // decode the block in place.
  virtual SysResult<BlockJob*> claim(const lzma_block& block, uint64_t decoder_memory, size_t input_size) = 0;
  virtual Status submit(BlockJob* job) = 0;
};

// Walks the stream piece by piece (header, blocks, index, footer) so that
// each acceptance rule is checked where liblzma's one-call stream decoder
// would have been more lenient: it accepts SHA-256, BCJ filters, stream
// padding and concatenated streams.
class StreamWalker {
 public:
  StreamWalker(File& input, size_t read_buffer_size, WalkOutput& out);
  ~StreamWalker();
  StreamWalker(const StreamWalker&) = delete;
  StreamWalker& operator=(const StreamWalker&) = delete;

  Status run();

 private:
  Status read_stream_header();
  Status decode_block();
  Status decode_in_place(lzma_block& block);
  Status hand_over(BlockJob& job, lzma_block& block, BlockFilters& filters, size_t input_size);
  Status decode_index();
  Status read_stream_footer();
  Status expect_end_of_file();

  InputWindow in_;
  WalkOutput& out_;
  lzma_stream strm_ = LZMA_STREAM_INIT;
  lzma_stream_flags flags_{};
  lzma_index_hash* index_hash_ = nullptr;
};

// Hands decoded bytes to the sink in pieces of exactly `chunk` bytes at
// stream offsets that are multiples of it; flush_rest() hands over the
// shorter last piece.
class PieceSink {
 public:
  PieceSink(DecodeSink& sink, size_t chunk) : sink_(sink), staging_(new uint8_t[chunk]), chunk_(chunk) {}

  // The free part of the staging piece, to decode straight into.
  std::span<uint8_t> room() { return {staging_.get() + staged_, chunk_ - staged_}; }
  // `n` bytes of room() were filled; a full piece goes to the sink.
  Status commit(size_t n);
  // Takes bytes from elsewhere: whole pieces go to the sink straight from
  // `data`, the parts around them through the staging piece.
  Status deliver(const uint8_t* data, size_t len);
  Status flush_rest();
  // Every byte taken so far (handed on or staged) has passed its block's
  // check: tells the sink.
  Status verified() { return sink_.verified(taken_); }

 private:
  DecodeSink& sink_;
  std::unique_ptr<uint8_t[]> staging_;
  size_t chunk_;
  size_t staged_ = 0;
  uint64_t taken_ = 0;  // stream offset of the next byte
};

// The texts of failures that the walk, the workers and the index check
// report.
extern const char* const kTruncatedText;
extern const char* const kMemoryText;
extern const char* const kBlockHeaderOptionsText;
extern const char* const kSha256CheckText;
extern const char* const kIndexText;
extern const char* const kFooterMismatchText;
extern const char* const kBackwardSizeText;
extern const char* const kTrailingDataText;

// The stream header's 12 bytes, of which `got` were read: its flags, or why
// it is refused (the walk's texts, a check id outside 0x00, 0x01, 0x04 and
// 0x0A included).
Status decode_stream_header(const uint8_t* header, size_t got, lzma_stream_flags& flags);
// The stream footer's 12 bytes: its flags.
Status decode_stream_footer(const uint8_t* footer, lzma_stream_flags& footer_flags);
// The footer's flags must be the header's.
Status check_footer_matches(const lzma_stream_flags& header_flags, const lzma_stream_flags& footer_flags);
// The parts of a stream liblzma reads, for the text its codes become.
enum class Part { kStreamHeader, kStreamFooter, kBlockHeader, kBlockData, kIndex };
// The one place a liblzma code becomes this decoder's text: a code other
// than LZMA_OK (and LZMA_STREAM_END) returned while reading `part`. Memory
// codes are kMemoryText wherever they come from.
SysError lzma_error(Part part, lzma_ret ret);
// A failed read or seek of the image, its OS code kept.
SysError image_read_error(const SysError& error);

// Decodes on `threads` threads (at least 2); xz_decode's threaded form.
Status decode_threaded(File& input, size_t read_buffer_size, size_t output_chunk_size, DecodeSink& sink,
                       unsigned threads);

template <class Progress>
Status decode_job(lzma_stream& strm, BlockJob& job, size_t chunk, Progress&& progress) {
  if (lzma_ret ret = lzma_block_decoder(&strm, &job.block); ret != LZMA_OK) {
    return unexpected(lzma_error(Part::kBlockHeader, ret == LZMA_DATA_ERROR ? LZMA_OPTIONS_ERROR : ret));
  }
  const uint64_t capacity = job.block.uncompressed_size;
  uint64_t& produced = job.produced;
  strm.next_in = job.input;
  strm.avail_in = job.input_size;
  for (;;) {
    // The walk stops at a failed read as soon as its window runs empty.
    if (job.ending == BlockEnding::kReadError && strm.avail_in == 0) return {};
    uint64_t offset = job.stream_offset + produced;
    size_t step = chunk - static_cast<size_t>(offset % chunk);
    strm.next_out = job.output + produced;
    strm.avail_out = static_cast<size_t>(std::min<uint64_t>(step, capacity - produced));
    size_t before = strm.avail_out;
    lzma_ret ret = lzma_code(&strm, LZMA_RUN);
    produced += before - strm.avail_out;
    if (ret == LZMA_STREAM_END) job.checked = true;
    if (before != strm.avail_out && !progress(produced)) return {};
    if (ret == LZMA_STREAM_END) return {};
    if (ret != LZMA_OK) return unexpected(lzma_error(Part::kBlockData, ret));
  }
}

}  // namespace dh::xz
