// The FAT cluster chain read straight from the target drive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "formats/mbr_fat.h"
#include "platform/file.h"

namespace dh {

// read_cluster_chain over the target, its sectors read with read_sectors_at.
SysResult<std::vector<uint8_t>> read_cluster_chain(File& target, uint32_t partition_start_lba,
                                                   uint16_t reserved_sectors, uint8_t fat_count,
                                                   uint32_t sectors_per_fat, uint8_t sectors_per_cluster,
                                                   uint32_t first_cluster);

}  // namespace dh
