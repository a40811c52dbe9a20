// The PowerShell route of the disk listing, and list_disks through the built
// helper with the fake powershell.
#include <gtest/gtest.h>

#include "disks/list_disks.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

constexpr const char* kGuard = "Get-Disk | Select-Object Number,IsSystem,IsBoot | ConvertTo-Json -Compress";
constexpr const char* kListing =
    "$disks = Get-Disk | Select-Object Number,FriendlyName,SerialNumber,Size,IsReadOnly,BusType,IsSystem,IsBoot; "
    "$disks | ConvertTo-Json -Compress";

json record_for(const std::string& item) {
  auto r = get_disk_record(json::parse(item));
  return r ? *r : json(nullptr);
}

TEST(GetDiskRecord, KeepsWritableRemovableNonSystemDisksWithASize) {
  json r = record_for(R"({"Number":3,"FriendlyName":"Generic STORAGE DEVICE","SerialNumber":"  000000078 ",)"
                      R"("Size":31914983424,"IsReadOnly":false,"BusType":"USB","IsSystem":false,"IsBoot":false})");
  EXPECT_EQ(r.dump(),
            R"({"bsdDisk":"PhysicalDrive3","id":"PhysicalDrive3","internal":false,"isBoot":false,"isSystem":false,)"
            R"("model":"Generic STORAGE DEVICE","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive3",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive3","removable":true,"serial":"  000000078 ","sizeBytes":31914983424,)"
            R"("usbPath":"Bus:USB","vendor":"USB","writable":true})");
  EXPECT_FALSE(r.contains("targetType"));
}

TEST(GetDiskRecord, ColumnRules) {
  // The bus text is compared upper-cased but reported as given.
  json r = record_for(R"({"Number":1,"Size":1,"BusType":"uSb"})");
  EXPECT_EQ(r["usbPath"], "Bus:uSb");
  EXPECT_EQ(r["vendor"], "uSb");
  // Missing IsReadOnly, FriendlyName and SerialNumber.
  EXPECT_EQ(r["writable"], true);
  EXPECT_EQ(r["model"], "Unknown");
  EXPECT_EQ(r["serial"], nullptr);
  EXPECT_EQ(record_for(R"({"Size":5,"BusType":"SD"})")["id"], "PhysicalDrive0");
  EXPECT_EQ(record_for(R"({"Number":-2,"Size":5,"BusType":"MMC"})")["id"], "PhysicalDrive0");
  EXPECT_EQ(record_for(R"({"Number":2.5,"Size":5,"BusType":"mmc"})")["id"], "PhysicalDrive0");
  EXPECT_EQ(record_for(R"({"Number":12,"Size":5,"BusType":"sd","FriendlyName":""})")["model"], "");
  EXPECT_EQ(record_for(R"({"Number":12,"Size":5,"BusType":"sd","FriendlyName":7,"SerialNumber":7})")["model"],
            "Unknown");
  EXPECT_EQ(record_for(R"({"Number":12,"Size":5,"BusType":"sd","SerialNumber":null})")["serial"], nullptr);
  // IsReadOnly that is not a boolean leaves the disk writable.
  EXPECT_EQ(record_for(R"({"Number":1,"Size":5,"BusType":"USB","IsReadOnly":"True"})")["writable"], true);
  EXPECT_EQ(record_for(R"({"Number":1,"Size":5,"BusType":"USB","IsSystem":"True","IsBoot":1})")["isSystem"], false);
}

TEST(GetDiskRecord, ItemsThatFailATestAreSkipped) {
  for (const char* item : {
           R"({"Number":1,"Size":5,"BusType":"USB","IsReadOnly":true})",
           R"({"Number":1,"Size":5,"BusType":"USB","IsSystem":true})",
           R"({"Number":1,"Size":5,"BusType":"USB","IsBoot":true})",
           R"({"Number":1,"Size":0,"BusType":"USB"})",
           R"({"Number":1,"BusType":"USB"})",
           R"({"Number":1,"Size":-5,"BusType":"USB"})",
           R"({"Number":1,"Size":5.5,"BusType":"USB"})",
           R"({"Number":1,"Size":"5","BusType":"USB"})",
           R"({"Number":1,"Size":5,"BusType":7})",
           R"({"Number":1,"Size":5,"BusType":"SATA"})",
           R"({"Number":1,"Size":5,"BusType":"USB "})",
           R"({"Number":1,"Size":5})",
           R"([{"Number":1,"Size":5,"BusType":"USB"}])",
           R"("USB")",
       }) {
    EXPECT_EQ(get_disk_record(json::parse(item)), std::nullopt) << item;
  }
}

// The helper runs natively without physical drives, and under Wine the
// guard failing keeps the device route out, so both take the PowerShell
// route here.
TEST(ListDisksCommand, PowerShellRouteAnswersInGetDiskOrder) {
  test::FakePowerShell ps;
  if (test::on_windows()) {
    ps.answer(0, "", "no guard", 1);
  } else {
    ps.answer(0, R"([{"Number":0,"IsSystem":true,"IsBoot":true}])");
  }
  // The second disk's name has letters beyond ASCII, one (U+2713) beyond the
  // console's OEM code page too: it must arrive as written.
  ps.answer(1,
            " [{\"Number\":5,\"FriendlyName\":\"SD Reader\",\"SerialNumber\":null,\"Size\":2048,"
            "\"IsReadOnly\":false,\"BusType\":\"SD\",\"IsSystem\":false,\"IsBoot\":false},"
            "{\"Number\":0,\"Size\":512,\"BusType\":\"SATA\",\"IsSystem\":true,\"IsBoot\":true},"
            "7,"
            "{\"Number\":2,\"FriendlyName\":\"Lexar T\xC3\xBCrk\xC3\xA7"
            "e Kart \xE2\x9C\x93\",\"SerialNumber\":\"AB\","
            "\"Size\":4096,"
            "\"BusType\":\"USB\"}]\r\n");
  auto run = test::run_command("list_disks", {{"ignored", true}});
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(ps.calls(), 2);
  EXPECT_EQ(ps.script(0), kGuard);
  EXPECT_EQ(ps.script(1), kListing);
  EXPECT_EQ(run.out,
            "{\"id\":\"t\",\"ok\":true,\"payload\":{\"disks\":["
            "{\"bsdDisk\":\"PhysicalDrive5\",\"id\":\"PhysicalDrive5\",\"internal\":false,\"isBoot\":false,"
            "\"isSystem\":false,\"model\":\"SD Reader\",\"mountPoints\":[],"
            "\"osDevicePath\":\"\\\\\\\\.\\\\PhysicalDrive5\",\"rawDisk\":\"\\\\\\\\.\\\\PhysicalDrive5\","
            "\"removable\":true,\"serial\":null,\"sizeBytes\":2048,\"usbPath\":\"Bus:SD\",\"vendor\":\"SD\","
            "\"writable\":true},"
            "{\"bsdDisk\":\"PhysicalDrive2\",\"id\":\"PhysicalDrive2\",\"internal\":false,\"isBoot\":false,"
            "\"isSystem\":false,\"model\":\"Lexar T\xC3\xBCrk\xC3\xA7"
            "e Kart \xE2\x9C\x93\",\"mountPoints\":[],"
            "\"osDevicePath\":\"\\\\\\\\.\\\\PhysicalDrive2\",\"rawDisk\":\"\\\\\\\\.\\\\PhysicalDrive2\","
            "\"removable\":true,\"serial\":\"AB\",\"sizeBytes\":4096,\"usbPath\":\"Bus:USB\",\"vendor\":\"USB\","
            "\"writable\":true}]}}\n");
}

TEST(ListDisksCommand, SingleObjectAndEmptyListings) {
  test::FakePowerShell ps;
  ps.answer(0, "", "", 1);
  ps.answer(1, R"({"Number":9,"Size":100,"BusType":"MMC","FriendlyName":"Card"})");
  ps.answer(2, "", "", 1);
  ps.answer(3, "[]");
  auto one = test::run_command("list_disks", nullptr);
  ASSERT_EQ(one.payload()["disks"].size(), 1u);
  EXPECT_EQ(one.payload()["disks"][0]["id"], "PhysicalDrive9");
  auto none = test::run_command("list_disks", nullptr);
  EXPECT_EQ(none.out, "{\"id\":\"t\",\"ok\":true,\"payload\":{\"disks\":[]}}\n");
}

TEST(ListDisksCommand, PowerShellRouteErrors) {
  test::FakePowerShell ps;
  ps.answer(-1, "", "", 1);  // every guard fails
  ps.answer(1, "", "Get-Disk : Access to a CIM resource was not available to the client.\n", 1);
  ps.answer(3, "Number FriendlyName\n------ ------------");
  ps.answer(5, "   ", "", 0);
  auto failed = test::run_command("list_disks", nullptr);
  EXPECT_EQ(failed.out,
            "{\"id\":\"t\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":\"Get-Disk : Access to a CIM "
            "resource was not available to the client.\"}\n");
  auto table = test::run_command("list_disks", nullptr);
  EXPECT_EQ(table.response["errorCode"], "UNKNOWN");
  EXPECT_EQ(table.response["errorMessage"].get<std::string>().rfind("[json.exception.parse_error.101]", 0), 0u)
      << table.out;
  auto empty = test::run_command("list_disks", nullptr);
  EXPECT_EQ(empty.response["errorCode"], "UNKNOWN");
  EXPECT_NE(empty.response["errorMessage"].get<std::string>().find("parse error"), std::string::npos) << empty.out;
  EXPECT_EQ(ps.calls(), 6);
}

TEST(ListDisksCommand, MissingPowerShellIsToolMissing) {
  test::NoPowerShell none;
  auto run = test::run_command_here("list_disks", nullptr);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.response["ok"], false);
  EXPECT_EQ(run.response["errorCode"], "TOOL_MISSING");
  EXPECT_NE(run.response["errorMessage"].get<std::string>().find("(os error 2)"), std::string::npos);
}

// With a guard that succeeds, the device route runs for real. Natively it
// finds no drives; under Wine it may find some. Either way the answer is one
// well-formed line and every disk has the record's shape.
TEST(ListDisksCommand, RealDeviceRouteGivesAWellFormedAnswer) {
  test::FakePowerShell ps;
  ps.answer(0, "[]");
  ps.answer(1, "[]");
  auto run = test::run_command("list_disks", nullptr);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.lines.size(), 1u);
  ASSERT_EQ(run.response["ok"], true) << run.out;
  const json& disks = run.payload()["disks"];
  ASSERT_TRUE(disks.is_array());
  for (const json& d : disks) {
    EXPECT_EQ(d["removable"], true);
    EXPECT_EQ(d["writable"], true);
    EXPECT_EQ(d["osDevicePath"], d["rawDisk"]);
    EXPECT_EQ(d["id"], d["bsdDisk"]);
  }
  if (!test::on_windows()) {
    EXPECT_EQ(ps.calls(), 2);
  }
  EXPECT_EQ(ps.script(0), kGuard);
}

}  // namespace
}  // namespace dh
