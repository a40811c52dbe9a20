// Target path resolution and drive numbers.
#include <gtest/gtest.h>

#include "disks/target.h"

namespace dh {
namespace {

using nlohmann::json;

TEST(ParseDriveNumber, DigitsAfterTheLastMarkerInAnyAsciiCase) {
  struct Case {
    const char* text;
    std::optional<uint32_t> number;
  } cases[] = {
      {"\\\\.\\PhysicalDrive3", 3},
      {"PhysicalDrive3", 3},
      {"\\\\?\\PhysicalDrive3", 3},
      {"physicaldrive3", 3},
      {"PHYSICALDRIVE12", 12},
      {"pHySiCaLdRiVe5", 5},
      {"PhysicalDrive3abc", 3},
      {"PhysicalDrive1 PhysicalDrive2", 2},
      {"PhysicalDrive7 PhysicalDrive", std::nullopt},  // the last marker has no digits
      {"physicaldrive007", 7},
      {"physicaldrive0000000000000000000000000042", 42},
      {"PhysicalDrive4294967295", 4294967295u},
      {"PhysicalDrive4294967296", std::nullopt},
      {"PhysicalDrive99999999999999999999999", std::nullopt},
      {"PhysicalDrive", std::nullopt},
      {"PhysicalDrive-1", std::nullopt},
      {"PhysicalDrive+1", std::nullopt},
      {"PhysicalDrive 1", std::nullopt},
      {"disk4", std::nullopt},
      {"", std::nullopt},
      {"E:", std::nullopt},
      // U+0130 (capital I with dot) is not folded to "i": no marker.
      {"PHYS\xC4\xB0"
       "CALDRIVE3",
       std::nullopt},
      // Non-ASCII text before the marker does not shift it.
      {"\xC3\xA9\xC3\xA9PhysicalDrive8", 8},
      {"PhysicalDrive\xEF\xBC\x91", std::nullopt},  // a full-width digit one
  };
  for (const Case& c : cases) EXPECT_EQ(parse_drive_number(c.text), c.number) << c.text;
}

TEST(ResolveTargetPath, OsDevicePathWinsAndIsTakenUnchecked) {
  auto both = resolve_target_path(json{{"osDevicePath", "D:"}, {"deviceId", "\\\\.\\PhysicalDrive2"}});
  ASSERT_TRUE(both.has_value());
  EXPECT_EQ(*both, "D:");
  EXPECT_EQ(parse_drive_number(*both), std::nullopt);
  EXPECT_EQ(*resolve_target_path(json{{"osDevicePath", ""}, {"deviceId", "PhysicalDrive1"}}), "");
  EXPECT_EQ(*resolve_target_path(json{{"osDevicePath", " \\\\.\\physicaldrive09 "}}), " \\\\.\\physicaldrive09 ");
}

TEST(ResolveTargetPath, DeviceIdIsRewrittenToTheCanonicalPath) {
  EXPECT_EQ(*resolve_target_path(json{{"deviceId", "physicaldrive4"}}), "\\\\.\\PhysicalDrive4");
  EXPECT_EQ(*resolve_target_path(json{{"deviceId", "PHYSICALDRIVE007"}}), "\\\\.\\PhysicalDrive7");
  // An osDevicePath of the wrong type counts as absent.
  for (json wrong : {json(3), json(nullptr), json::object(), json::array({"x"}), json(true)}) {
    EXPECT_EQ(*resolve_target_path(json{{"osDevicePath", wrong}, {"deviceId", "PhysicalDrive5"}}),
              "\\\\.\\PhysicalDrive5");
  }
}

TEST(ResolveTargetPath, NoUsableFieldIsTheMissingTargetError) {
  const HelperError missing{ErrorCode::kUnknown, "Missing osDevicePath/deviceId payload field"};
  for (const json& payload : {json{{"deviceId", "disk4"}}, json{{"deviceId", "PhysicalDrive4294967296"}},
                              json{{"deviceId", 4}}, json{{"osDevicePath", 4}}, json::object(), json(nullptr),
                              json::array({"\\\\.\\PhysicalDrive1"}), json{{"OSDevicePath", "x"}}}) {
    auto r = resolve_target_path(payload);
    ASSERT_FALSE(r.has_value()) << payload.dump();
    EXPECT_EQ(r.error(), missing) << payload.dump();
  }
}

}  // namespace
}  // namespace dh
