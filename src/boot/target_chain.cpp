#include "boot/target_chain.h"

#include "rawdisk/raw_access.h"

namespace dh {

SysResult<std::vector<uint8_t>> read_cluster_chain(File& target, uint32_t partition_start_lba,
                                                   uint16_t reserved_sectors, uint8_t fat_count,
                                                   uint32_t sectors_per_fat, uint8_t sectors_per_cluster,
                                                   uint32_t first_cluster) {
  SectorReader read = [&target](uint64_t lba, uint64_t count) { return read_sectors_at(target, lba, count); };
  return read_cluster_chain(read, partition_start_lba, reserved_sectors, fat_count, sectors_per_fat,
                            sectors_per_cluster, first_cluster);
}

}  // namespace dh
