// libFuzzer target: the input is a disk (flat and as sparse sector records,
// see sparse_disk.h) read the way verify_boot reads a card: MBR, partition
// table, FAT boot sector, the root directory's cluster chain and its names.
// The chain is also read when the layout is not readable, to reach the
// reader with zero and extreme field values.
#include <cstddef>
#include <cstdint>

#include "boot/target_chain.h"
#include "rawdisk/raw_access.h"
#include "support/memory_file.h"
#include "sparse_disk.h"

namespace {

void inspect(dh::File& disk) {
  auto mbr = dh::read_sectors_at(disk, 0, 1);
  if (!mbr) return;
  (void)dh::mbr_signature_present(*mbr);
  auto entries = dh::parse_partition_entries(*mbr);
  auto boot = dh::find_boot_partition(entries);
  (void)dh::find_root_partition(entries, boot);
  // Without a FAT partition entry, take the first used entry (or LBA 0) so
  // that the boot-sector path is reached from any input.
  uint32_t start = boot ? boot->start_lba : (entries.empty() ? 0 : entries[0].start_lba);
  auto sector = dh::read_sectors_at(disk, start, 1);
  if (!sector) return;
  dh::FatBootSector fat = dh::parse_fat_boot_sector(*sector);
  (void)dh::fat_layout_readable(fat);
  auto directory = dh::read_cluster_chain(disk, start, fat.reserved_sectors, fat.fat_count, fat.sectors_per_fat,
                                          fat.sectors_per_cluster, fat.root_cluster);
  if (!directory) return;
  auto names = dh::list_directory_names(*directory);
  (void)dh::has_exact_name(names, "config.txt");
  (void)dh::has_prefixed_name(names, "start", "elf");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  dh::test::MemoryFile flat(bytes);
  inspect(flat);
  dh::fuzz::SparseDisk sparse(bytes);
  inspect(sparse);
  (void)dh::list_directory_names(bytes);
  return 0;
}
