#include "decode/zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "decode/stream_decoders.h"
#include "base/text.h"
#include "formats/little_endian.h"

namespace dh {
namespace {

using decode::invalid;
using decode::read_at;
using decode::read_error;

constexpr ImageFormat kFormat = ImageFormat::kZip;
constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEndRecord = 0x06054b50;
constexpr uint32_t kZip64EndRecord = 0x06064b50;
constexpr uint32_t kZip64Locator = 0x07064b50;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndRecordSize = 56;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxComment = 0xFFFF;
// A directory larger than this is no image's: refused rather than read.
constexpr uint64_t kMaxDirectory = 64ull * 1024 * 1024;
constexpr uint16_t kEncrypted = 0x0001;
constexpr uint16_t kStrongEncryption = 0x0040;
constexpr uint16_t kZip64Extra = 0x0001;

struct Directory {
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t entries = 0;
};

// The end record, found by its signature in the file's last 64 KiB and 22
// bytes (it ends with a comment of up to 64 KiB), and its ZIP64 form when a
// field of the plain one is saturated.
SysResult<Directory> find_directory(File& file, uint64_t length) {
  const uint64_t tail = std::min<uint64_t>(length, kEndRecordSize + kMaxComment);
  std::vector<uint8_t> buffer(static_cast<size_t>(tail));
  DH_TRY(read_at(file, length - tail, buffer.data(), buffer.size()));
  std::span<const uint8_t> b(buffer);
  if (tail < kEndRecordSize) return unexpected(invalid(kFormat, "the file is too short to be a zip archive"));
  for (size_t at = buffer.size() - kEndRecordSize + 1; at-- > 0;) {
    if (le_u32(b, at) != kEndRecord) continue;
    // The record's comment must reach exactly to the end of the file.
    if (at + kEndRecordSize + le_u16(b, at + 20) != buffer.size()) continue;
    const uint64_t record_at = length - tail + at;
    if (le_u16(b, at + 4) != 0 || le_u16(b, at + 6) != 0 || le_u16(b, at + 8) != le_u16(b, at + 10)) {
      return unexpected(invalid(kFormat, "archives split over several disks are not supported"));
    }
    Directory dir{le_u32(b, at + 16), le_u32(b, at + 12), le_u16(b, at + 10)};
    if (dir.offset != 0xFFFFFFFF && dir.size != 0xFFFFFFFF && dir.entries != 0xFFFF) return dir;
    if (record_at < kZip64LocatorSize) return unexpected(invalid(kFormat, "the ZIP64 end record is missing"));
    uint8_t locator[kZip64LocatorSize];
    DH_TRY(read_at(file, record_at - kZip64LocatorSize, locator, sizeof locator));
    if (le_u32(locator, 0) != kZip64Locator) return unexpected(invalid(kFormat, "the ZIP64 end record is missing"));
    const uint64_t zip64_at = le_u64(locator, 8);
    if (zip64_at > record_at - kZip64LocatorSize || record_at - kZip64LocatorSize - zip64_at < kZip64EndRecordSize) {
      return unexpected(invalid(kFormat, "the ZIP64 end record is damaged"));
    }
    uint8_t record[kZip64EndRecordSize];
    DH_TRY(read_at(file, zip64_at, record, sizeof record));
    if (le_u32(record, 0) != kZip64EndRecord) return unexpected(invalid(kFormat, "the ZIP64 end record is damaged"));
    return Directory{le_u64(record, 48), le_u64(record, 40), le_u64(record, 32)};
  }
  return unexpected(invalid(kFormat, "no end of central directory record (not a zip archive, or truncated)"));
}

// Replaces the saturated 32-bit fields of a central header with their ZIP64
// extra field's values, which come in this order and only for those fields.
bool apply_zip64(std::span<const uint8_t> extra, ZipEntry& entry, uint64_t& local_offset, uint32_t usize32,
                 uint32_t csize32, uint32_t offset32) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = le_u16(extra, at);
    const uint16_t size = le_u16(extra, at + 2);
    if (at + 4 + size > extra.size()) return false;
    if (id == kZip64Extra) {
      std::span<const uint8_t> field = extra.subspan(at + 4, size);
      size_t pos = 0;
      auto take = [&](uint64_t& value) {
        if (pos + 8 > field.size()) return false;
        value = le_u64(field, pos);
        pos += 8;
        return true;
      };
      if (usize32 == 0xFFFFFFFF && !take(entry.uncompressed_bytes)) return false;
      if (csize32 == 0xFFFFFFFF && !take(entry.compressed_bytes)) return false;
      if (offset32 == 0xFFFFFFFF && !take(local_offset)) return false;
      return true;
    }
    at += 4 + size;
  }
  return usize32 != 0xFFFFFFFF && csize32 != 0xFFFFFFFF && offset32 != 0xFFFFFFFF;
}

}  // namespace

SysResult<ZipEntry> zip_read_directory(File& image) {
  const std::optional<uint64_t> length = image.kind().length;
  if (!length) return unexpected(invalid(kFormat, "cannot tell the size of the file"));
  auto dir = find_directory(image, *length);
  DH_TRY(dir);
  if (dir->offset > *length || dir->size > *length - dir->offset || dir->size > kMaxDirectory) {
    return unexpected(invalid(kFormat, "the central directory lies outside the file"));
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(dir->size));
  DH_TRY(read_at(image, dir->offset, buffer.data(), buffer.size()));
  std::span<const uint8_t> b(buffer);

  std::optional<ZipEntry> chosen;
  uint64_t chosen_local = 0;
  uint16_t chosen_flags = 0;
  size_t at = 0;
  for (uint64_t i = 0; i < dir->entries; ++i) {
    if (at + kCentralHeaderSize > b.size() || le_u32(b, at) != kCentralHeader) {
      return unexpected(invalid(kFormat, "the central directory is damaged"));
    }
    const uint16_t flags = le_u16(b, at + 8);
    const uint16_t name_len = le_u16(b, at + 28);
    const uint16_t extra_len = le_u16(b, at + 30);
    const uint16_t comment_len = le_u16(b, at + 32);
    const size_t next = at + kCentralHeaderSize + name_len + extra_len + comment_len;
    if (next > b.size()) return unexpected(invalid(kFormat, "the central directory is damaged"));
    ZipEntry entry;
    // Names are UTF-8 when flag bit 11 says so and the old DOS code page
    // otherwise; anything that is not UTF-8 is shown with replacement marks.
    entry.name =
        utf8_lossy(std::string_view(reinterpret_cast<const char*>(b.data() + at + kCentralHeaderSize), name_len));
    entry.method = le_u16(b, at + 10);
    entry.crc32 = le_u32(b, at + 16);
    const uint32_t csize32 = le_u32(b, at + 20);
    const uint32_t usize32 = le_u32(b, at + 24);
    const uint32_t offset32 = le_u32(b, at + 42);
    entry.compressed_bytes = csize32;
    entry.uncompressed_bytes = usize32;
    uint64_t local = offset32;
    if (!apply_zip64(b.subspan(at + kCentralHeaderSize + name_len, extra_len), entry, local, usize32, csize32,
                     offset32)) {
      return unexpected(invalid(kFormat, "the ZIP64 sizes of entry " + entry.name + " are damaged"));
    }
    at = next;
    const bool folder = !entry.name.empty() && entry.name.back() == '/';
    if (folder && entry.uncompressed_bytes == 0) continue;
    if (!chosen || entry.uncompressed_bytes > chosen->uncompressed_bytes) {
      chosen = std::move(entry);
      chosen_local = local;
      chosen_flags = flags;
    }
  }
  if (!chosen) return unexpected(invalid(kFormat, "the archive holds no file"));
  const std::string& name = chosen->name;
  if ((chosen_flags & (kEncrypted | kStrongEncryption)) != 0) {
    return unexpected(invalid(kFormat, "entry " + name + " is encrypted; decrypt the archive first"));
  }
  if (chosen->method != 0 && chosen->method != Z_DEFLATED) {
    return unexpected(invalid(kFormat, "entry " + name + " is compressed with method " +
                                           std::to_string(chosen->method) +
                                           ", which is not supported (only stored and deflated entries are)"));
  }
  uint8_t local_header[kLocalHeaderSize];
  if (chosen_local > dir->offset || dir->offset - chosen_local < kLocalHeaderSize) {
    return unexpected(invalid(kFormat, "the local header of entry " + name + " lies outside the file"));
  }
  DH_TRY(read_at(image, chosen_local, local_header, sizeof local_header));
  if (le_u32(local_header, 0) != kLocalHeader || le_u16(local_header, 8) != chosen->method) {
    return unexpected(invalid(kFormat, "the local header of entry " + name + " does not match the directory"));
  }
  chosen->data_offset = chosen_local + kLocalHeaderSize + le_u16(local_header, 26) + le_u16(local_header, 28);
  if (chosen->data_offset > dir->offset || dir->offset - chosen->data_offset < chosen->compressed_bytes) {
    return unexpected(invalid(kFormat, "the data of entry " + name + " runs past the central directory"));
  }
  if (chosen->method == 0 && chosen->compressed_bytes != chosen->uncompressed_bytes) {
    return unexpected(invalid(kFormat, "the sizes of stored entry " + name + " differ"));
  }
  return *chosen;
}

namespace decode {

// The chosen entry's data, inflated (or copied, when stored) and checked
// against the directory's CRC-32 and size at its end; its bytes count as
// checked there.
SysStatus zip_decode(File& file, size_t read_buffer_size, DecodeSink& sink) {
  auto entry = zip_read_directory(file);
  DH_TRY(entry);
  if (auto sought = file.seek(entry->data_offset); !sought) return unexpected(read_error(sought.error()));
  Input in(file, read_buffer_size, entry->compressed_bytes);
  Output out(sink);
  uLong crc = crc32(0, nullptr, 0);
  const std::string of_entry = " of entry " + entry->name;
  if (entry->method == 0) {
    for (;;) {
      auto more = in.fill();
      DH_TRY(more);
      if (!*more) break;
      while (in.avail > 0) {
        size_t n = std::min(in.avail, out.room_size());
        std::memcpy(out.room(), in.next, n);
        crc = crc32_z(crc, in.next, n);
        in.next += n;
        in.avail -= n;
        DH_TRY(out.produced(n));
      }
    }
    if (out.total() != entry->compressed_bytes) return unexpected(invalid(kFormat, "the file is truncated"));
  } else {
    z_stream strm{};
    if (inflateInit2(&strm, -15) != Z_OK) return unexpected(invalid(kFormat, "out of memory"));
    struct End {
      z_stream& s;
      ~End() { inflateEnd(&s); }
    } end{strm};
    bool ended = false;
    while (!ended) {
      auto more = in.fill();
      DH_TRY(more);
      const auto given = static_cast<uInt>(std::min<size_t>(in.avail, UINT32_MAX));
      strm.next_in = const_cast<Bytef*>(in.next);
      strm.avail_in = given;
      strm.next_out = out.room();
      strm.avail_out = static_cast<uInt>(out.room_size());
      const int ret = inflate(&strm, Z_NO_FLUSH);
      const size_t made = out.room_size() - strm.avail_out;
      const size_t used = given - strm.avail_in;
      crc = crc32_z(crc, out.room(), made);
      in.next += used;
      in.avail -= used;
      DH_TRY(out.produced(made));
      if (ret == Z_STREAM_END) {
        ended = true;
      } else if (ret == Z_BUF_ERROR && !*more && made == 0) {
        return unexpected(invalid(kFormat, "the deflated data" + of_entry + " ends early (truncated)"));
      } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
        return unexpected(invalid(kFormat, zlib_error_text(ret, strm.msg) + of_entry));
      }
    }
    if (in.avail > 0 || in.consumed_before_next() != entry->compressed_bytes) {
      return unexpected(invalid(kFormat, "the deflated data" + of_entry + " does not fill its compressed size"));
    }
  }
  if (out.total() != entry->uncompressed_bytes) {
    return unexpected(invalid(kFormat, "entry " + entry->name + " decodes to " + std::to_string(out.total()) +
                                           " bytes, not the " + std::to_string(entry->uncompressed_bytes) +
                                           " its directory records"));
  }
  if (crc != entry->crc32) {
    return unexpected(invalid(kFormat, "CRC-32 mismatch" + of_entry + ": the data is damaged"));
  }
  DH_TRY(out.verified());
  return out.finish();
}

}  // namespace decode
}  // namespace dh
