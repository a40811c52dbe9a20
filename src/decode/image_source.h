// A sequential source of an image's bytes, whether the image file is plain
// or compressed: what the write loop and the first-difference scan read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/helper_error.h"

namespace dh {

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Up to `len` of the next bytes of the image into `out`; 0 at its end.
  virtual Expected<size_t, HelperError> read(uint8_t* out, size_t len) = 0;
  // For a caller that stops before the end: proves every byte read() has
  // handed out sound, as far as the image's format can tell (a compressed
  // image's integrity checks). A plain image has nothing to prove.
  virtual Expected<void, HelperError> verify_read() { return {}; }
};

// The bytes of a plain image, each read() one read of `reader` (a File or a
// BufferedReader); a failed read is `read_error_code` with the OS text.
template <class Reader>
class PlainImageSource final : public ImageSource {
 public:
  PlainImageSource(Reader& reader, ErrorCode read_error_code) : reader_(reader), code_(read_error_code) {}
  Expected<size_t, HelperError> read(uint8_t* out, size_t len) override {
    auto got = reader_.read(out, len);
    if (!got) return unexpected(helper_error(code_, got.error()));
    return *got;
  }

 private:
  Reader& reader_;
  ErrorCode code_;
};

}  // namespace dh
