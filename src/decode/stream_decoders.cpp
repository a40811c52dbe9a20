#include "decode/stream_decoders.h"

#include <bzlib.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace dh::decode {

std::string zlib_error_text(int code, const char* stream_message) {
  if (stream_message != nullptr && *stream_message != '\0') return stream_message;
  if (code == Z_BUF_ERROR) return "unexpected end of data";
  return zError(code);
}

std::string bzip2_error_text(int code) {
  switch (code) {
    case BZ_DATA_ERROR: return "data integrity error: a block or stream CRC does not match, or the data is corrupt";
    case BZ_DATA_ERROR_MAGIC: return "bad magic: not a bzip2 stream";
    case BZ_MEM_ERROR: return "out of memory";
    case BZ_PARAM_ERROR: return "parameter error";
    case BZ_CONFIG_ERROR: return "the library was built wrongly for this system";
    case BZ_UNEXPECTED_EOF: return "unexpected end of data";
    default: return "error code " + std::to_string(code);
  }
}

std::string zstd_error_text(size_t code) { return ZSTD_getErrorName(code); }

SysError invalid(ImageFormat format, const std::string& text) {
  return SysError::fixed("Invalid " + std::string(format_name(format)) + " image: " + text);
}

SysError read_error(const SysError& error) { return error.prefixed("Failed to read the image: "); }

SysStatus read_at(File& file, uint64_t offset, uint8_t* out, size_t len) {
  if (auto sought = file.seek(offset); !sought) return unexpected(read_error(sought.error()));
  if (auto read = read_exact(file, out, len); !read) return unexpected(read_error(read.error()));
  return {};
}

SysResult<bool> Input::fill() {
  if (avail > 0) return true;
  size_t want = static_cast<size_t>(std::min<uint64_t>(capacity_, left_));
  if (want == 0) return false;
  auto got = file_.read(buffer_.get(), want);
  if (!got) return unexpected(read_error(got.error()));
  next = buffer_.get();
  avail = *got;
  left_ -= *got;
  read_ += *got;
  return *got > 0;
}

SysStatus Output::produced(size_t len) {
  filled_ += len;
  total_ += len;
  if (filled_ < kDecodeOutputChunk) return {};
  filled_ = 0;
  return sink_.write(buffer_.get(), kDecodeOutputChunk);
}

SysStatus Output::finish() {
  if (filled_ == 0) return {};
  size_t n = filled_;
  filled_ = 0;
  return sink_.write(buffer_.get(), n);
}

namespace {

constexpr const char* kEmptyText = "the file is empty";

// Owns a zlib inflate stream.
struct Inflater {
  z_stream strm{};
  bool ready = false;
  explicit Inflater(int window_bits) { ready = inflateInit2(&strm, window_bits) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&strm);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

}  // namespace

// Every member of the file in turn (gzip -c a b > ab writes two, and so do
// parallel compressors), each checked by zlib against its CRC-32 and length
// before it reports the member's end. The size field is never trusted: the
// file is read to its end. Zero bytes after the last member (padding) are
// allowed; anything else there is refused.
SysStatus gzip_decode(File& file, size_t read_buffer_size, DecodeSink& sink) {
  constexpr ImageFormat kFormat = ImageFormat::kGzip;
  Inflater inflater(15 + 16);  // gzip wrapper only
  if (!inflater.ready) return unexpected(invalid(kFormat, "out of memory"));
  z_stream& strm = inflater.strm;
  Input in(file, read_buffer_size);
  Output out(sink);
  bool in_member = false;
  bool padding = false;  // zeros after a member
  uint64_t members = 0;
  for (;;) {
    auto more = in.fill();
    DH_TRY(more);
    if (!*more) break;
    if (!in_member) {
      // Between members: zeros are padding, anything else starts a member.
      while (in.avail > 0 && in.next[0] == 0 && members > 0) {
        ++in.next;
        --in.avail;
        padding = true;
      }
      if (in.avail == 0) continue;
      if (padding)
        return unexpected(invalid(kFormat, "unexpected data after the padding that follows the last member"));
      in_member = true;
    }
    strm.next_in = const_cast<Bytef*>(in.next);
    const auto given = static_cast<uInt>(std::min<size_t>(in.avail, UINT32_MAX));
    strm.avail_in = given;
    strm.next_out = out.room();
    strm.avail_out = static_cast<uInt>(out.room_size());
    const int ret = inflate(&strm, Z_NO_FLUSH);
    const size_t used = given - strm.avail_in;
    in.next += used;
    in.avail -= used;
    DH_TRY(out.produced(out.room_size() - strm.avail_out));
    if (ret == Z_STREAM_END) {
      ++members;
      in_member = false;
      DH_TRY(out.verified());
      inflateReset(&strm);
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      return unexpected(invalid(kFormat, zlib_error_text(ret, strm.msg)));
    }
  }
  // What inflate still holds (output that did not fit) drains with no input.
  while (in_member) {
    strm.next_in = nullptr;
    strm.avail_in = 0;
    strm.next_out = out.room();
    strm.avail_out = static_cast<uInt>(out.room_size());
    const int ret = inflate(&strm, Z_NO_FLUSH);
    const size_t made = out.room_size() - strm.avail_out;
    DH_TRY(out.produced(made));
    if (ret == Z_STREAM_END) {
      ++members;
      in_member = false;
      DH_TRY(out.verified());
    } else if (made == 0) {
      return unexpected(invalid(kFormat, "the file ends inside a member (truncated)"));
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      return unexpected(invalid(kFormat, zlib_error_text(ret, strm.msg)));
    }
  }
  if (members == 0) return unexpected(invalid(kFormat, kEmptyText));
  return out.finish();
}

namespace {

// Owns a bzip2 decompression stream.
struct Bunzipper {
  bz_stream strm{};
  int init = BZ_MEM_ERROR;
  Bunzipper() { init = BZ2_bzDecompressInit(&strm, 0, 0); }
  ~Bunzipper() {
    if (init == BZ_OK) BZ2_bzDecompressEnd(&strm);
  }
  Bunzipper(const Bunzipper&) = delete;
  Bunzipper& operator=(const Bunzipper&) = delete;
};

}  // namespace

// Every stream of the file in turn (parallel compressors write one per
// piece). libbz2 checks each block's CRC as the block ends and the stream's
// combined CRC at its end; a stream's bytes count as checked at its end.
SysStatus bzip2_decode(File& file, size_t read_buffer_size, DecodeSink& sink) {
  constexpr ImageFormat kFormat = ImageFormat::kBzip2;
  auto bz = std::make_unique<Bunzipper>();
  if (bz->init != BZ_OK) return unexpected(invalid(kFormat, bzip2_error_text(bz->init)));
  Input in(file, read_buffer_size);
  Output out(sink);
  bool in_stream = false;
  uint64_t streams = 0;
  bool at_end = false;
  for (;;) {
    if (in.avail == 0 && !at_end) {
      auto more = in.fill();
      DH_TRY(more);
      at_end = !*more;
    }
    if (!in_stream) {
      if (in.avail == 0) break;
      in_stream = true;
    }
    bz_stream& strm = bz->strm;
    strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.next));
    strm.avail_in = static_cast<unsigned>(std::min<size_t>(in.avail, UINT32_MAX));
    strm.next_out = reinterpret_cast<char*>(out.room());
    strm.avail_out = static_cast<unsigned>(out.room_size());
    const size_t given = strm.avail_in;
    const int ret = BZ2_bzDecompress(&strm);
    const size_t used = given - strm.avail_in;
    const size_t made = out.room_size() - strm.avail_out;
    in.next += used;
    in.avail -= used;
    DH_TRY(out.produced(made));
    if (ret == BZ_STREAM_END) {
      ++streams;
      in_stream = false;
      DH_TRY(out.verified());
      bz = std::make_unique<Bunzipper>();
      if (bz->init != BZ_OK) return unexpected(invalid(kFormat, bzip2_error_text(bz->init)));
    } else if (ret != BZ_OK) {
      if (ret == BZ_DATA_ERROR_MAGIC && streams > 0) {
        return unexpected(invalid(kFormat, "unexpected data after the last stream"));
      }
      return unexpected(invalid(kFormat, bzip2_error_text(ret)));
    } else if (at_end && used == 0 && made == 0) {
      return unexpected(invalid(kFormat, "the file ends inside a stream (truncated)"));
    }
  }
  if (streams == 0) return unexpected(invalid(kFormat, kEmptyText));
  return out.finish();
}

namespace {

struct ZstdContext {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  ~ZstdContext() { ZSTD_freeDCtx(ctx); }
  ZstdContext() = default;
  ZstdContext(const ZstdContext&) = delete;
  ZstdContext& operator=(const ZstdContext&) = delete;
};

// The largest window a frame may ask for: kDecodeMemoryLimit.
constexpr int kZstdWindowLogMax = 28;
static_assert((1ull << kZstdWindowLogMax) == kDecodeMemoryLimit);

}  // namespace

// Every frame of the file in turn (skippable frames pass silently). libzstd
// compares a frame's content checksum, where the frame has one, before it
// reports the frame's end; a frame's bytes count as checked there. A frame
// asking for a window above kDecodeMemoryLimit is refused before its window
// is allocated.
SysStatus zstd_decode(File& file, size_t read_buffer_size, DecodeSink& sink) {
  constexpr ImageFormat kFormat = ImageFormat::kZstd;
  ZstdContext zstd;
  if (zstd.ctx == nullptr) return unexpected(invalid(kFormat, "out of memory"));
  if (size_t set = ZSTD_DCtx_setParameter(zstd.ctx, ZSTD_d_windowLogMax, kZstdWindowLogMax); ZSTD_isError(set)) {
    return unexpected(invalid(kFormat, zstd_error_text(set)));
  }
  Input in(file, read_buffer_size);
  Output out(sink);
  bool in_frame = false;
  bool any = false;
  bool output_full = false;  // the last call filled the room: it may hold more
  for (;;) {
    if (in.avail == 0 && !output_full) {
      auto more = in.fill();
      DH_TRY(more);
      if (!*more) break;
    }
    any = true;
    ZSTD_inBuffer src{in.next, in.avail, 0};
    ZSTD_outBuffer dst{out.room(), out.room_size(), 0};
    const size_t ret = ZSTD_decompressStream(zstd.ctx, &dst, &src);
    if (ZSTD_isError(ret)) return unexpected(invalid(kFormat, zstd_error_text(ret)));
    in.next += src.pos;
    in.avail -= src.pos;
    output_full = dst.pos == dst.size;
    DH_TRY(out.produced(dst.pos));
    if (ret == 0) {
      in_frame = false;
      DH_TRY(out.verified());
    } else if (src.pos > 0 || dst.pos > 0) {
      in_frame = true;
    }
  }
  if (!any) return unexpected(invalid(kFormat, kEmptyText));
  if (in_frame) return unexpected(invalid(kFormat, "the file ends inside a frame (truncated)"));
  return out.finish();
}

}  // namespace dh::decode
