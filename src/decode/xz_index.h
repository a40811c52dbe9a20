// What an .xz file's ends tell without decoding it: its stream header, its
// stream footer and the index in front of the footer.
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"
#include "platform/file.h"

namespace dh {

struct XzIndexSummary {
  uint64_t uncompressed_bytes = 0;  // the sum of the index's records
  uint64_t blocks = 0;
};

// Reads the stream header, the footer and the index of the .xz file behind
// `image` (whose kind() must tell its length) and checks them with the
// decoder's rules: a header the decoder refuses, a footer that is corrupt or
// does not match the header, an index that is corrupt or not the size the
// footer gives, SHA-256 checks on a stream with blocks, and a file holding
// more than the one stream (stream padding, a second stream) are refused
// with the decoder's texts; a file whose last 12 bytes are no footer is
// refused as truncated or holding data after the stream. Block data is not
// read: only decoding finds a damaged block. Leaves `image` at offset 0.
SysResult<XzIndexSummary> xz_read_index(File& image);

}  // namespace dh
