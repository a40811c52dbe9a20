// Device descriptor bytes and the device route of the disk listing, driven by
// descriptors built here and a fake set of physical drives.
#include <gtest/gtest.h>

#include "disks/device_descriptor.h"
#include "disks/list_disks.h"
#include "platform/physical_drive.h"
#include "support/bytes.h"
#include "support/fake_drives.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;
using test::ByteVector;
using test::put_u32;
using test::put_u64;

// A STORAGE_DEVICE_DESCRIPTOR: the 36-byte header, then each given string
// (zero-terminated) at the next free offset. Size is the whole length unless
// `size` says otherwise.
struct Descriptor {
  bool removable = false;
  uint32_t bus = 0;
  std::optional<std::string> vendor, product, serial;
  std::optional<uint32_t> size;

  Descriptor(bool removable_media, uint32_t bus_type, std::optional<std::string> vendor_text = std::nullopt,
             std::optional<std::string> product_text = std::nullopt,
             std::optional<std::string> serial_text = std::nullopt)
      : removable(removable_media),
        bus(bus_type),
        vendor(std::move(vendor_text)),
        product(std::move(product_text)),
        serial(std::move(serial_text)) {}

  ByteVector bytes() const {
    ByteVector b(36, 0);
    put_u32(b, 0, 1);
    b[10] = removable ? 1 : 0;
    put_u32(b, 28, bus);
    auto add = [&b](size_t field, const std::optional<std::string>& text) {
      if (!text) return;
      uint32_t at = static_cast<uint32_t>(b.size());
      b.insert(b.end(), text->begin(), text->end());
      b.push_back(0);
      put_u32(b, field, at);
    };
    add(12, vendor);
    add(16, product);
    add(24, serial);
    put_u32(b, 4, size.value_or(static_cast<uint32_t>(b.size())));
    return b;
  }
};

TEST(DescriptorString, OffsetsAndExtentBoundTheText) {
  ByteVector b = {'x', 'A', 'B', 0, ' ', ' ', 'C', 'D', ' ', 0, ' ', '\t', 0, 'E', 'F', 'G'};
  EXPECT_EQ(read_descriptor_string(b, b.size(), 1), "AB");
  EXPECT_EQ(read_descriptor_string(b, b.size(), 4), "CD");           // trimmed
  EXPECT_EQ(read_descriptor_string(b, b.size(), 10), std::nullopt);  // blank
  EXPECT_EQ(read_descriptor_string(b, b.size(), 3), std::nullopt);   // empty
  EXPECT_EQ(read_descriptor_string(b, b.size(), 0), std::nullopt);   // offset 0 means none
  // No terminator: the text ends at the extent.
  EXPECT_EQ(read_descriptor_string(b, b.size(), 13), "EFG");
  EXPECT_EQ(read_descriptor_string(b, 15, 13), "EF");
  // Offsets at or past the extent give nothing, even with bytes behind them.
  EXPECT_EQ(read_descriptor_string(b, 13, 13), std::nullopt);
  EXPECT_EQ(read_descriptor_string(b, 13, 14), std::nullopt);
  EXPECT_EQ(read_descriptor_string(b, 1000, 0xFFFFFFFFu), std::nullopt);
  // An extent larger than the bytes is clamped.
  EXPECT_EQ(read_descriptor_string(b, 5000, 14), "FG");
  ByteVector odd = {0, 'S', 'D', 0xFF, 0xC3, 0};
  EXPECT_EQ(read_descriptor_string(odd, odd.size(), 1), "SD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(DeviceDescriptorBytes, FieldsAreReadByTheDescriptorsOwnSize) {
  Descriptor full{true, kBusUsb, "  Acme ", "Flash", "SN1"};
  DeviceDescriptor d = parse_device_descriptor(full.bytes());
  EXPECT_TRUE(d.removable_media);
  EXPECT_EQ(d.bus_type, kBusUsb);
  EXPECT_EQ(d.vendor, "Acme");
  EXPECT_EQ(d.product, "Flash");
  EXPECT_EQ(d.serial, "SN1");

  // Size 20: vendor and product offsets are read, the serial offset and the
  // bus type are not, although the bytes are there. The strings lie beyond
  // 20 bytes, so with an extent of 20 they are not read either.
  Descriptor small = full;
  small.size = 20;
  d = parse_device_descriptor(small.bytes());
  EXPECT_TRUE(d.removable_media);
  EXPECT_EQ(d.bus_type, 0u);
  EXPECT_EQ(d.vendor, std::nullopt);
  EXPECT_EQ(d.serial, std::nullopt);

  // Below 11 nothing at all is read.
  Descriptor tiny = full;
  tiny.size = 10;
  d = parse_device_descriptor(tiny.bytes());
  EXPECT_FALSE(d.removable_media);
  EXPECT_EQ(d.bus_type, 0u);
  EXPECT_EQ(d.product, std::nullopt);

  // From 28 the serial offset is read but the bus type (at 28) is not.
  ByteVector b = full.bytes();
  put_u32(b, 4, 31);
  d = parse_device_descriptor(b);
  EXPECT_EQ(d.bus_type, 0u);
  put_u32(b, 4, 32);
  d = parse_device_descriptor(b);
  EXPECT_EQ(d.bus_type, kBusUsb);
}

TEST(DeviceDescriptorBytes, ExtentIsSizeCappedAt1024) {
  // More bytes than the query's buffer could hold: only 1024 count.
  ByteVector b(36, 0);
  put_u32(b, 4, 0xFFFFFFFFu);
  put_u32(b, 28, kBusSd);
  put_u32(b, 12, 1000);
  put_u32(b, 16, 1024);
  b.resize(1100, 'v');
  DeviceDescriptor d = parse_device_descriptor(b);
  EXPECT_EQ(d.bus_type, kBusSd);
  EXPECT_EQ(d.vendor, std::string(24, 'v'));  // runs to the cap, no terminator
  EXPECT_EQ(d.product, std::nullopt);         // offset equal to the cap

  // A Size beyond the bytes returned: what was not returned reads as zero,
  // so a string at the end of the answer ends there.
  ByteVector shorter(36, 0);
  put_u32(shorter, 4, 600);
  put_u32(shorter, 24, 37);
  put_u32(shorter, 16, 500);
  shorter.insert(shorter.end(), {'x', 'S', 'N'});
  d = parse_device_descriptor(shorter);
  EXPECT_EQ(d.serial, "SN");
  EXPECT_EQ(d.product, std::nullopt);  // inside Size, but only zeros there
}

TEST(DeviceDescriptorBytes, ShortAndMalformedInputsNeverReadOutOfBounds) {
  // Answers of all-0xFF bytes cut short: what lies past the cut reads as zero.
  struct Case {
    size_t len;
    bool removable;
    uint32_t bus;
  } cases[] = {{0, false, 0}, {4, false, 0}, {8, false, 0}, {12, true, 0}, {30, true, 0xFFFF}, {35, true, 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    DeviceDescriptor d = parse_device_descriptor(ByteVector(c.len, 0xFF));
    EXPECT_EQ(d.removable_media, c.removable) << c.len;
    EXPECT_EQ(d.bus_type, c.bus) << c.len;
    EXPECT_EQ(d.vendor, std::nullopt) << c.len;
    EXPECT_EQ(d.serial, std::nullopt) << c.len;
  }
  ByteVector garbage(1024, 0xFF);
  DeviceDescriptor d = parse_device_descriptor(garbage);
  EXPECT_TRUE(d.removable_media);
  EXPECT_EQ(d.bus_type, 0xFFFFFFFFu);
  EXPECT_EQ(d.vendor, std::nullopt);  // offset 0xFFFFFFFF is past the extent
}

TEST(DiskClassification, TargetTypeFromBusAndKeywords) {
  auto type = [](uint32_t bus, std::optional<std::string> vendor, std::optional<std::string> product) {
    DeviceDescriptor d;
    d.bus_type = bus;
    d.vendor = std::move(vendor);
    d.product = std::move(product);
    return device_target_type(d);
  };
  EXPECT_EQ(type(kBusUsb, "Generic", "Flash Disk"), "usb-drive");
  EXPECT_EQ(type(kBusUsb, "Generic", "Mass Storage sD cArD"), "memory-card");
  EXPECT_EQ(type(kBusSata, std::nullopt, std::nullopt), "removable-drive");
  EXPECT_EQ(type(kBusSd, "Generic", "Flash Disk"), "memory-card");
  EXPECT_EQ(type(kBusMmc, std::nullopt, std::nullopt), "memory-card");
  for (const char* product :
       {"MicroSD", "Micro SD", "SDHC", "SDXC", "Card Reader", "CardReader", "Memory Card", "MMC", "TF Card"}) {
    EXPECT_EQ(type(kBusScsi, std::nullopt, product), "memory-card") << product;
  }
  // The vendor and product are joined by one space before the search.
  EXPECT_EQ(type(kBusUsb, "Multi SD", "Card"), "memory-card");
  EXPECT_EQ(type(kBusUsb, "Card", "Reader"), "memory-card");
  EXPECT_EQ(type(kBusUsb, "SD", std::nullopt), "usb-drive");
  EXPECT_EQ(type(kBusUsb, std::nullopt, "sd"), "usb-drive");
}

TEST(DiskClassification, ModelFromVendorAndProduct) {
  EXPECT_EQ(device_model(std::nullopt, std::nullopt), "Removable storage");
  EXPECT_EQ(device_model(std::nullopt, "Flash"), "Flash");
  EXPECT_EQ(device_model("Acme", std::nullopt), "Acme");
  EXPECT_EQ(device_model("Acme", "Acme Flash"), "Acme Flash");
  EXPECT_EQ(device_model("Acme", "Flash"), "Acme Flash");
  EXPECT_EQ(device_model("acme", "Acme Flash"), "acme Acme Flash");
}

TEST(DiskClassification, ReadOnlyAttributeNeedsSixteenBytes) {
  ByteVector attributes(24, 0);
  EXPECT_FALSE(attributes_read_only(attributes));
  put_u64(attributes, 8, 0x2);
  EXPECT_TRUE(attributes_read_only(attributes));
  put_u64(attributes, 8, 0xFFFFFFFFFFFFFFFDull);
  EXPECT_FALSE(attributes_read_only(attributes));
  put_u64(attributes, 8, 0x3);
  attributes.resize(16);
  EXPECT_TRUE(attributes_read_only(attributes));
  attributes.resize(15);
  EXPECT_FALSE(attributes_read_only(attributes));
}

using test::FakeDrives;

FakeDrives::Setup drive(uint64_t size, const Descriptor& descriptor) {
  FakeDrives::Setup setup;
  setup.length = FakeDrives::length(size);
  setup.descriptor = descriptor.bytes();
  return setup;
}

TEST(DeviceRoute, ClassifiesAndFiltersDrivesInNumberOrder) {
  test::FakePowerShell ps;
  ps.answer(0, R"([{"Number":0,"IsSystem":true,"IsBoot":true},{"Number":1,"IsSystem":false,"IsBoot":false}])");
  FakeDrives fake;
  fake.drives[0] = drive(1000, {true, kBusUsb, "Sys", "Disk"});  // excluded by the guard: never opened
  fake.drives[1] = drive(64ull << 30, {false, kBusUsb, "Generic ", " Flash Disk", " 0123 "});
  fake.drives[2] = drive(512, {false, kBusUsb, "Generic", "Mass Storage sD cArD"});
  fake.drives[3] = drive(4096, {true, kBusSata, "WDC", "Caddy"});
  fake.drives[4] = drive(4096, {false, kBusSata, "WDC", "Internal"});  // neither removable nor USB/SD/MMC
  fake.drives[5] = drive(4096, {false, kBusSd});
  ByteVector read_only(24, 0);
  put_u64(read_only, 8, 0x2);
  fake.drives[5].attributes = read_only;
  fake.drives[6] = drive(4096, {false, kBusMmc});
  ByteVector short_attributes(8, 0xFF);
  fake.drives[6].attributes = short_attributes;  // too short to carry Attributes
  fake.drives[7] = drive(4096, {true, kBusUsb});
  fake.drives[7].descriptor = ByteVector(35, 0);  // 35 bytes or fewer: skipped
  Descriptor size20{true, kBusUsb, "Ven", "Prod", "Serial"};
  size20.size = 20;
  ByteVector b20 = size20.bytes();
  // Point vendor and product inside the first 20 bytes (at the DeviceType
  // byte) so that they can be read.
  b20[8] = 'Q';
  b20[9] = 0;
  put_u32(b20, 12, 8);
  put_u32(b20, 16, 8);
  fake.drives[8].length = FakeDrives::length(4096);
  fake.drives[8].descriptor = b20;
  Descriptor size20_fixed{false, kBusUsb};
  size20_fixed.size = 20;
  fake.drives[9] = drive(4096, size20_fixed);  // USB in the bytes, but Size hides the bus type
  fake.drives[10] = drive(4096, {true, kBusUsb});
  fake.drives[10].length = ByteVector(4, 0xFF);  // short length answer
  fake.drives[11] = drive(4096, {true, kBusUsb});
  fake.drives[11].length = unexpected(SysError::from_os(21));
  fake.drives[12] = drive(4096, {false, kBusUsb});
  fake.drives[12].descriptor = unexpected(SysError::from_os(50));
  fake.drives[31] = drive(777, {false, kBusUsb});
  fake.drives[32] = drive(888, {false, kBusUsb});  // beyond the probed range
  ScopedPhysicalDriveSystem scoped(fake);

  auto disks = enumerate_physical_drives();
  ASSERT_TRUE(disks.has_value());
  EXPECT_EQ(fake.open_handles, 0);
  std::vector<uint32_t> expected_opened;
  for (uint32_t n = 1; n < 32; ++n) expected_opened.push_back(n);
  EXPECT_EQ(fake.opened, expected_opened);
  ASSERT_EQ(ps.calls(), 1);
  EXPECT_EQ(ps.script(0), "Get-Disk | Select-Object Number,IsSystem,IsBoot | ConvertTo-Json -Compress");

  std::vector<std::string> ids;
  for (const json& d : *disks) ids.push_back(d["id"]);
  EXPECT_EQ(ids, (std::vector<std::string>{"PhysicalDrive1", "PhysicalDrive2", "PhysicalDrive3", "PhysicalDrive6",
                                           "PhysicalDrive8", "PhysicalDrive31"}));
  EXPECT_EQ((*disks)[0].dump(),
            R"({"bsdDisk":"PhysicalDrive1","id":"PhysicalDrive1","internal":false,"isBoot":false,)"
            R"("isSystem":false,"model":"Generic Flash Disk","mountPoints":[],)"
            R"("osDevicePath":"\\\\.\\PhysicalDrive1","rawDisk":"\\\\.\\PhysicalDrive1","removable":true,)"
            R"("serial":"0123","sizeBytes":68719476736,"targetType":"usb-drive","usbPath":"Bus:USB",)"
            R"("vendor":"Generic","writable":true})");
  EXPECT_EQ((*disks)[1]["targetType"], "memory-card");
  EXPECT_EQ((*disks)[2]["targetType"], "removable-drive");
  EXPECT_EQ((*disks)[2]["usbPath"], "Bus:SATA");
  EXPECT_EQ((*disks)[3]["targetType"], "memory-card");
  EXPECT_EQ((*disks)[3]["vendor"], "MMC");  // no vendor text: the bus label
  EXPECT_EQ((*disks)[3]["model"], "Removable storage");
  EXPECT_EQ((*disks)[3]["serial"], nullptr);
  EXPECT_EQ((*disks)[4]["vendor"], "Q");
  EXPECT_EQ((*disks)[4]["model"], "Q");
  EXPECT_EQ((*disks)[4]["serial"], nullptr);
  EXPECT_EQ((*disks)[4]["usbPath"], "Bus:Unknown");
  EXPECT_EQ((*disks)[4]["targetType"], "removable-drive");
  EXPECT_EQ((*disks)[5]["sizeBytes"], 777);
}

TEST(DeviceRoute, BusTypeNamesTheUsbPathAndAMissingVendor) {
  test::FakePowerShell ps;
  ps.answer(-1, "[]");
  const std::vector<std::pair<uint32_t, std::string>> labels = {
      {0, "Unknown"},          {1, "SCSI"},  {2, "Unknown"}, {3, "ATA"},  {7, "USB"},
      {8, "Unknown"},          {11, "SATA"}, {12, "SD"},     {13, "MMC"}, {17, "NVMe"},
      {0xFFFFFFFFu, "Unknown"}};
  FakeDrives fake;
  for (uint32_t n = 0; n < labels.size(); ++n) fake.drives[n] = drive(4096, {true, labels[n].first});
  ScopedPhysicalDriveSystem scoped(fake);
  auto disks = enumerate_physical_drives();
  ASSERT_TRUE(disks.has_value());
  ASSERT_EQ(disks->size(), labels.size());
  for (size_t n = 0; n < labels.size(); ++n) {
    EXPECT_EQ((*disks)[n]["usbPath"], "Bus:" + labels[n].second) << labels[n].first;
    EXPECT_EQ((*disks)[n]["vendor"], labels[n].second) << labels[n].first;
  }
}

TEST(DeviceRoute, GuardFailureOrNonJsonMeansNoAnswerWithoutOpening) {
  FakeDrives fake;
  fake.drives[1] = drive(4096, {true, kBusUsb});
  ScopedPhysicalDriveSystem scoped(fake);
  test::FakePowerShell ps;
  ps.answer(0, "[]", "Get-Disk : not available", 1);
  ps.answer(1, "");
  ps.answer(2, "Number IsSystem\n------ --------\n0 True");
  EXPECT_FALSE(enumerate_physical_drives().has_value());
  EXPECT_FALSE(enumerate_physical_drives().has_value());
  EXPECT_FALSE(enumerate_physical_drives().has_value());
  EXPECT_TRUE(fake.opened.empty());
}

TEST(DeviceRoute, ZeroLengthDriveStillCountsAsAnAnswer) {
  test::FakePowerShell ps;
  ps.answer(-1, "null");  // neither array nor object: excludes nothing
  FakeDrives fake;
  fake.drives[4] = drive(0, {true, kBusUsb});
  ScopedPhysicalDriveSystem scoped(fake);
  auto disks = enumerate_physical_drives();
  ASSERT_TRUE(disks.has_value());
  EXPECT_TRUE(disks->empty());

  // Without any drive answering the length query there is no answer at all.
  fake.drives[4].length = ByteVector(7, 0);
  EXPECT_FALSE(enumerate_physical_drives().has_value());
  fake.drives.clear();
  EXPECT_FALSE(enumerate_physical_drives().has_value());
  EXPECT_EQ(fake.open_handles, 0);
}

TEST(DeviceRoute, GuardExclusionRules) {
  EXPECT_EQ(guard_excluded_drives(json::parse(R"({"Number":2,"IsSystem":false,"IsBoot":true})")),
            (std::set<uint32_t>{2}));
  EXPECT_EQ(guard_excluded_drives(json::parse("[]")), (std::set<uint32_t>{}));
  EXPECT_EQ(guard_excluded_drives(json::parse("7")), (std::set<uint32_t>{}));
  EXPECT_EQ(guard_excluded_drives(json::parse(R"("x")")), (std::set<uint32_t>{}));
  auto items = json::parse(R"([
      {"Number":1,"IsSystem":true},
      {"Number":3,"IsSystem":"True","IsBoot":1},
      {"Number":-4,"IsSystem":true},
      {"Number":5.0,"IsBoot":true},
      {"Number":"6","IsBoot":true},
      {"IsSystem":true},
      {"Number":4294967295,"IsBoot":true},
      {"Number":4294967296,"IsBoot":true},
      [ {"Number":8,"IsBoot":true} ],
      {"Number":9,"IsSystem":false,"IsBoot":false}])");
  EXPECT_EQ(guard_excluded_drives(items), (std::set<uint32_t>{1, 4294967295u}));
}

}  // namespace
}  // namespace dh
