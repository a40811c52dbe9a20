// A zip archive's central directory, and the one entry of it that is the
// image.
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"
#include "platform/file.h"

namespace dh {

struct ZipEntry {
  std::string name;
  uint16_t method = 0;  // 0 stored, 8 deflated
  uint32_t crc32 = 0;
  uint64_t compressed_bytes = 0;
  uint64_t uncompressed_bytes = 0;
  uint64_t data_offset = 0;  // where its compressed bytes start in the file
};

// Reads the end-of-central-directory record (and its ZIP64 form where the
// sizes need it) and the whole central directory of the zip file behind
// `image` (whose kind() must tell its length), and chooses the entry that is
// the image: the only file entry, or else the largest one (the first of
// equals). Folders are not files. Refused, with a text that says why: a file
// that is no zip or whose directory is damaged or truncated, an archive of
// several disks, one holding no file, and a chosen entry that is encrypted,
// compressed with another method than stored or deflated, or whose local
// header does not match the directory. Leaves `image` at an unspecified
// position.
SysResult<ZipEntry> zip_read_directory(File& image);

}  // namespace dh
