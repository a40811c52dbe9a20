#include "decode/decoder.h"

#include <array>

#include "decode/stream_decoders.h"
#include "decode/xz_decode.h"
#include "formats/little_endian.h"

namespace dh {
namespace {

struct Named {
  ImageFormat format;
  std::string_view name;
};
constexpr std::array<Named, 6> kNames{{{ImageFormat::kPlain, "plain"},
                                       {ImageFormat::kXz, "xz"},
                                       {ImageFormat::kGzip, "gz"},
                                       {ImageFormat::kBzip2, "bz2"},
                                       {ImageFormat::kZstd, "zstd"},
                                       {ImageFormat::kZip, "zip"}}};

bool starts_with(std::span<const uint8_t> head, std::initializer_list<uint8_t> magic) {
  if (head.size() < magic.size()) return false;
  size_t i = 0;
  for (uint8_t m : magic) {
    if (head[i++] != m) return false;
  }
  return true;
}

}  // namespace

std::string_view format_name(ImageFormat format) {
  for (const Named& n : kNames) {
    if (n.format == format) return n.name;
  }
  return "plain";
}

std::optional<ImageFormat> compressed_format_named(std::string_view name) {
  for (const Named& n : kNames) {
    if (n.name == name && n.format != ImageFormat::kPlain) return n.format;
  }
  return std::nullopt;
}

ImageFormat detect_format(std::span<const uint8_t> head) {
  if (starts_with(head, {0xFD, '7', 'z', 'X', 'Z', 0x00})) return ImageFormat::kXz;
  if (starts_with(head, {0x1F, 0x8B})) return ImageFormat::kGzip;
  if (starts_with(head, {'B', 'Z', 'h'}) && head.size() > 3 && head[3] >= '1' && head[3] <= '9') {
    return ImageFormat::kBzip2;
  }
  const uint32_t magic = le_u32(head, 0);
  if (head.size() >= 4 && (magic == 0xFD2FB528 || (magic & 0xFFFFFFF0) == 0x184D2A50)) return ImageFormat::kZstd;
  if (starts_with(head, {'P', 'K', 0x03, 0x04})) return ImageFormat::kZip;
  return ImageFormat::kPlain;
}

SysResult<ImageFormat> detect_file_format(File& image) {
  std::array<uint8_t, kFormatMagicBytes> head{};
  size_t got = 0;
  DH_TRY(image.seek(0));
  while (got < head.size()) {
    auto n = image.read(head.data() + got, head.size() - got);
    DH_TRY(n);
    if (*n == 0) break;
    got += *n;
  }
  DH_TRY(image.seek(0));
  return detect_format(std::span<const uint8_t>(head.data(), got));
}

SysStatus decode_image(File& input, ImageFormat format, size_t read_buffer_size, DecodeSink& sink, unsigned threads) {
  switch (format) {
    case ImageFormat::kXz: return xz_decode(input, read_buffer_size, kDecodeOutputChunk, sink, threads);
    case ImageFormat::kGzip: return decode::gzip_decode(input, read_buffer_size, sink);
    case ImageFormat::kBzip2: return decode::bzip2_decode(input, read_buffer_size, sink);
    case ImageFormat::kZstd: return decode::zstd_decode(input, read_buffer_size, sink);
    case ImageFormat::kZip: return decode::zip_decode(input, read_buffer_size, sink);
    case ImageFormat::kPlain: break;
  }
  return unexpected(SysError::fixed("A plain image has nothing to decode"));
}

}  // namespace dh
