// Command dispatch, payload field readers, health and cancel_task.
#include <gtest/gtest.h>

#include <limits>

#include "commands/dispatch.h"
#include "protocol/payload.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

TEST(PayloadFields, NumbersConvertWithTruncationAndSaturation) {
  auto p = json::parse(R"({"a":4096.9,"b":-1,"c":18446744073709551615,"d":18446744073709551616,
                           "e":-0,"f":1e19,"g":-2.5,"h":"12","i":null,"j":0.5,"k":1.9e300})");
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(payload_u64(p, "a"), 4096u);
  EXPECT_EQ(payload_u64(p, "b"), 0u);
  EXPECT_EQ(payload_u64(p, "c"), max);
  EXPECT_EQ(payload_u64(p, "d"), max);
  EXPECT_EQ(payload_u64(p, "e"), 0u);
  EXPECT_EQ(payload_u64(p, "f"), 10000000000000000000u);
  EXPECT_EQ(payload_u64(p, "g"), 0u);
  EXPECT_EQ(payload_u64(p, "h"), std::nullopt);
  EXPECT_EQ(payload_u64(p, "i"), std::nullopt);
  EXPECT_EQ(payload_u64(p, "j"), 0u);
  EXPECT_EQ(payload_u64(p, "k"), max);
  EXPECT_EQ(payload_u64(p, "absent"), std::nullopt);
}

TEST(PayloadFields, WrongTypesCountAsMissing) {
  auto p = json::parse(R"({"s":"x","n":1,"t":true,"ts":"true","one":1,"arr":[1],"obj":{}})");
  EXPECT_EQ(payload_str(p, "s"), "x");
  EXPECT_EQ(payload_str(p, "n"), std::nullopt);
  EXPECT_TRUE(payload_flag(p, "t"));
  EXPECT_FALSE(payload_flag(p, "ts"));
  EXPECT_FALSE(payload_flag(p, "one"));
  EXPECT_FALSE(payload_flag(p, "absent"));
  ASSERT_NE(payload_array(p, "arr"), nullptr);
  EXPECT_EQ(payload_array(p, "arr")->size(), 1u);
  EXPECT_EQ(payload_array(p, "obj"), nullptr);
  // A payload that is not an object has no fields at all.
  EXPECT_EQ(payload_str(json(nullptr), "s"), std::nullopt);
  EXPECT_EQ(payload_u64(json::array({1}), "0"), std::nullopt);
}

TEST(Dispatch, UnknownCommandsEchoTheCommandExactly) {
  for (std::string command : {"Health", "health ", "", "HEALTH", "list-disks"}) {
    WindowsHelperRequest req{"1", "s", command, nullptr};
    auto r = dispatch(req);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (HelperError{ErrorCode::kUnknown, "Unsupported helper command: " + command}));
  }
}

TEST(Dispatch, CancelTaskAnswersWithAnyPayload) {
  for (const json& payload : {json(nullptr), json{{"taskId", "t"}}, json(5)}) {
    auto run = test::run_command("cancel_task", payload);
    EXPECT_EQ(run.out, "{\"id\":\"t\",\"ok\":true,\"payload\":{\"canceled\":true}}\n");
    EXPECT_EQ(run.exit_code, 0);
  }
}

TEST(Health, ElevationFromPowerShellAnswer) {
  test::FakePowerShell ps;
  ps.answer(0, "  TRUE \r\n");
  ps.answer(1, "False\n");
  auto elevated = test::run_helper(json{{"id", "h"}, {"sessionId", ""}, {"command", "health"}});
  EXPECT_EQ(elevated.out, "{\"id\":\"h\",\"ok\":true,\"payload\":{\"helperVersion\":\"" DISK_HELPER_VERSION
                          "\",\"isElevated\":true,"
                          "\"ok\":true,\"platform\":\"windows\",\"sessionId\":\"\"}}\n");
  auto plain = test::run_command("health", nullptr);
  EXPECT_EQ(plain.payload()["isElevated"], false);
  EXPECT_EQ(plain.payload()["sessionId"], "s");
  ASSERT_EQ(ps.calls(), 2);
  EXPECT_EQ(ps.script(0),
            "([Security.Principal.WindowsPrincipal] [Security.Principal.WindowsIdentity]::GetCurrent())"
            ".IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)");
}

TEST(Health, RunnerFailuresPassThrough) {
  {
    test::FakePowerShell ps;
    ps.answer(0, "True", "  Access is denied.\n", 1);
    auto run = test::run_command("health", nullptr);
    EXPECT_EQ(run.response["errorCode"], "UNKNOWN");
    EXPECT_EQ(run.response["errorMessage"], "Access is denied.");
  }
  {
    test::NoPowerShell none;
    auto run = test::run_command_here("health", nullptr);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.response["errorCode"], "TOOL_MISSING");
    EXPECT_NE(run.response["errorMessage"].get<std::string>().find("(os error 2)"), std::string::npos);
    EXPECT_EQ(run.lines.size(), 1u);
  }
}

}  // namespace
}  // namespace dh
