// Streaming decoder for one .xz stream, with the acceptance rules of the
// image commands, on one thread or on several.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"
#include "decode/decoder.h"
#include "platform/file.h"

namespace dh {

// The most memory one block's filter chain may ask for. `xz -9` needs about
// 65 MiB to decode, so real images fit with room to spare, while a header
// that claims a dictionary of hundreds of MiB or more is refused before any
// allocation.
inline constexpr uint64_t kXzMemoryLimit = kDecodeMemoryLimit;

// Threads: 1 decodes on the calling thread alone; kXzAutoThreads asks for
// one decoding thread per core, at most kXzMaxThreads.
inline constexpr unsigned kXzAutoThreads = 0;
inline constexpr unsigned kXzMaxThreads = 8;

// The most memory the blocks decoded side by side may hold together: for
// each block in flight its compressed bytes, its decoded bytes and its
// decoder's dictionary. With N decoding threads at most N blocks are in
// flight, so a stream uses at most
//   N x (dictionary + compressed block + decoded block)
// and never more than this limit, plus about 13 MiB of fixed buffers (read
// buffer, four 1 MiB hand-over buffers, the sink's own). A stream whose
// blocks are too large for two of them to fit is decoded on one decoding
// thread instead (`xz -9` with its 192 MiB blocks still gets three
// threads).
inline constexpr uint64_t kXzThreadedMemoryLimit = 1024ull * 1024 * 1024;

// kXzAutoThreads resolved for this machine.
unsigned xz_default_threads();

// Decodes `input` from its current position as exactly one .xz stream and
// hands every decoded byte to `sink`. Reads go through a buffer of
// `read_buffer_size` bytes; decoded bytes are handed over in pieces of
// exactly `output_chunk_size` bytes (at stream offsets that are multiples of
// it), only the last piece before the index being shorter.
//
// With more than one thread the sink still receives exactly those pieces, in
// order, while the next ones are decoded:
// - a block whose header gives its compressed and its decoded size is read
//   whole and decoded by one of `threads` worker threads, several blocks at
//   once;
// - any other block (`xz` without -T writes no sizes) is decoded by one
//   decoding thread, overlapped with the sink through four 1 MiB buffers.
// Every thread is joined before xz_decode returns.
//
// Results do not depend on `threads`: the same bytes and the same verified()
// calls reach the sink, then the same first error in stream order. Before a failure the sink has received
// exactly the decoded bytes up to the failure point rounded down to whole
// pieces, never a byte of a later block. A sink failure stops all decoding.
//
// Accepted: integrity checks none, CRC32 and CRC64; LZMA2 as the only filter
// of every block. Refused with a descriptive text: anything that is not an
// .xz stream, corrupt or truncated data, a failed check, a check id other
// than 0x00, 0x01, 0x04 and 0x0A in the stream header, SHA-256 (0x0A) once a
// block has to be checked with it, any other filter chain, a block needing
// more than kXzMemoryLimit, an index that does not match the blocks, and any
// byte after the stream footer (stream padding, a second stream). A read
// failure gives "Failed to read the image: " with the OS text; a sink failure
// gives the sink's text.
SysStatus xz_decode(File& input, size_t read_buffer_size, size_t output_chunk_size, DecodeSink& sink,
                    unsigned threads = 1);

}  // namespace dh
