// Streaming decoder for one .xz stream, with the acceptance rules of the
// image commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/result.h"

namespace dh {

// Where decoded bytes go, in order. A failure text ends decoding and becomes
// the decoder's error.
class XzSink {
 public:
  virtual ~XzSink() = default;
  virtual Expected<void, std::string> write(const uint8_t* data, size_t len) = 0;
};

// The most memory one block's filter chain may ask for. `xz -9` needs about
// 65 MiB to decode, so real images fit with room to spare, while a header
// that claims a dictionary of hundreds of MiB or more is refused before any
// allocation.
inline constexpr uint64_t kXzMemoryLimit = 256ull * 1024 * 1024;

// Decodes `input` from its current position as exactly one .xz stream and
// hands every decoded byte to `sink`. Reads go through a buffer of
// `read_buffer_size` bytes; decoded bytes are handed over in pieces of at
// most `output_chunk_size` bytes. Memory use is constant apart from the
// dictionary of the block being decoded.
//
// Accepted: integrity checks none, CRC32 and CRC64; LZMA2 as the only filter
// of every block. Refused with a descriptive text: anything that is not an
// .xz stream, corrupt or truncated data, a failed check, a check id other
// than 0x00, 0x01, 0x04 and 0x0A in the stream header, SHA-256 (0x0A) once a
// block has to be checked with it, any other filter chain, a block needing
// more than kXzMemoryLimit, and any byte after the stream footer (stream
// padding, a second stream). A read failure gives "Failed to read the image:
// " with the OS text; a sink failure gives the sink's text.
Expected<void, std::string> xz_decode(File& input, size_t read_buffer_size, size_t output_chunk_size, XzSink& sink);

}  // namespace dh
