// The PowerShell runner against the fake powershell.
#include <gtest/gtest.h>

#include "platform/process.h"
#include "powershell/powershell.h"
#include "support/test_support.h"

namespace dh {
namespace {

TEST(PowerShellRunner, TrimsOutputAndIgnoresStderrOnSuccess) {
  test::FakePowerShell ps;
  ps.answer(0, " \t\r\n ");
  ps.answer(1, "\xE2\x80\x83 E \n", "WARNING: something\n");
  ps.answer(2, "ok\xFF\xFEtext\n");
  EXPECT_EQ(*run_powershell("a"), "");
  EXPECT_EQ(*run_powershell("b"), "E");
  EXPECT_EQ(*run_powershell("c"), "ok\xEF\xBF\xBD\xEF\xBF\xBDtext");
}

TEST(PowerShellRunner, FailureCarriesTrimmedStderrOrFixedText) {
  test::FakePowerShell ps;
  ps.answer(0, "partial output", "\n  Set-Disk : No MSFT_Disk objects found\n\n", 1);
  ps.answer(1, "", "", 3);
  ps.answer(2, "", " \n", 255);
  auto with_text = run_powershell("x");
  ASSERT_FALSE(with_text.has_value());
  EXPECT_EQ(with_text.error(), (HelperError{"UNKNOWN", "Set-Disk : No MSFT_Disk objects found"}));
  EXPECT_EQ(run_powershell("y").error(), (HelperError{"UNKNOWN", "PowerShell command failed"}));
  EXPECT_EQ(run_powershell("z").error(), (HelperError{"UNKNOWN", "PowerShell command failed"}));
}

TEST(PowerShellRunner, ScriptArrivesAsOneArgument) {
  test::FakePowerShell ps;
  const std::string script =
      "$x = \"a b\"; Write-Output 'q\\\"' \\\\server\\share\\ trailing\\ \"\" end\\\\\t\n\xC3\xA9";
  ASSERT_TRUE(run_powershell(script).has_value());
  ASSERT_TRUE(run_powershell("").has_value());
  EXPECT_EQ(ps.args(0), (std::vector<std::string>{"-NoProfile", "-Command", script}));
  EXPECT_EQ(ps.args(1), (std::vector<std::string>{"-NoProfile", "-Command", ""}));
}

TEST(PowerShellRunner, DrainsLargeOutputOnBothStreams) {
  test::FakePowerShell ps;
  std::string block(64 * 1024, 'o');
  std::string err_block(64 * 1024, 'e');
  ps.answer(0, block, err_block, 0);
  ps.repeat(0, 48);  // 3 MiB on each stream
  auto out = run_powershell("big");
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), block.size() * 48);
}

TEST(PowerShellRunner, MissingProgramIsToolMissing) {
  test::NoPowerShell none;
  auto r = run_powershell("x");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, "TOOL_MISSING");
  EXPECT_NE(r.error().message.find(" (os error 2)"), std::string::npos) << r.error().message;
}

TEST(PowerShellRunner, ProgramInWorkingDirectoryIsNotUsed) {
  // A PATH entry that is relative (here ".") must not be searched.
  test::TempDir dir;
  test::ScopedEnv path("PATH", ".");
  EXPECT_FALSE(find_program("powershell").has_value());
}

}  // namespace
}  // namespace dh
