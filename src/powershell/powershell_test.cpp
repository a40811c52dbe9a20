// The PowerShell runner against the fake powershell.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/text.h"
#include "platform/process.h"
#include "powershell/powershell.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32_text.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dh {
namespace {

TEST(PowerShellRunner, TrimsOutputAndIgnoresStderrOnSuccess) {
  test::FakePowerShell ps;
  ps.answer(0, " \t\r\n ");
  ps.answer(1, "\xE2\x80\x83 E \n", "WARNING: something\n");
  ps.answer(2, "ok\xFF\xFEtext\n");
  // A byte-order mark first is dropped; one further on is text.
  ps.answer(3, "\xEF\xBB\xBF E\xEF\xBB\xBF \r\n");
  EXPECT_EQ(*run_powershell("a"), "");
  EXPECT_EQ(*run_powershell("b"), "E");
  EXPECT_EQ(*run_powershell("c"), "ok\xEF\xBF\xBD\xEF\xBF\xBDtext");
  EXPECT_EQ(*run_powershell("d"), "E\xEF\xBB\xBF");
}

TEST(PowerShellRunner, FailureCarriesTrimmedStderrOrFixedText) {
  test::FakePowerShell ps;
  ps.answer(0, "partial output", "\n  Set-Disk : No MSFT_Disk objects found\n\n", 1);
  ps.answer(1, "", "", 3);
  ps.answer(2, "", " \n", 255);
  ps.answer(3, "", "\xEF\xBB\xBF\xEF\xBB\xBF", 1);
  auto with_text = run_powershell("x");
  ASSERT_FALSE(with_text.has_value());
  EXPECT_EQ(with_text.error(), (HelperError{ErrorCode::kUnknown, "Set-Disk : No MSFT_Disk objects found"}));
  EXPECT_EQ(run_powershell("y").error(), (HelperError{ErrorCode::kUnknown, "PowerShell command failed"}));
  EXPECT_EQ(run_powershell("z").error(), (HelperError{ErrorCode::kUnknown, "PowerShell command failed"}));
  // Standard error loses a leading byte-order mark too, and only that one.
  EXPECT_EQ(run_powershell("w").error(), (HelperError{ErrorCode::kUnknown, "\xEF\xBB\xBF"}));
}

TEST(PowerShellRunner, TheScriptAsksForUtf8SoTextBeyondAsciiArrivesWhole) {
  test::FakePowerShell ps;
  const std::string name =
      "Lexar T\xC3\xBCrk\xC3\xA7"
      "e Kart \xE2\x9C\x93";
  ps.answer(-1, name + "\r\n");
  // Without the statement PowerShell writes the console's OEM code page,
  // which lacks the check mark: the bytes the runner would have decoded.
  auto unprepared = run_process(test::FakePowerShell::built_path(), {"-NoProfile", "-Command", "Get-Disk"});
  ASSERT_TRUE(unprepared.has_value()) << unprepared.error().message;
  EXPECT_EQ(unprepared->out,
            "Lexar T\x81rk\x87"
            "e Kart ?\r\n");
  auto prepared = run_powershell("Get-Disk");
  ASSERT_TRUE(prepared.has_value()) << prepared.error().message;
  EXPECT_EQ(*prepared, name);
}

TEST(PowerShellRunner, ScriptArrivesAsOneArgument) {
  test::FakePowerShell ps;
  const std::string script =
      "$x = \"a b\"; Write-Output 'q\\\"' \\\\server\\share\\ trailing\\ \"\" end\\\\\t\n\xC3\xA9";
  for (const std::string& each : {script, std::string()}) {
    auto r = run_powershell(each);
    ASSERT_TRUE(r.has_value()) << error_code_text(r.error().code) << ": " << r.error().message;
  }
  // PowerShell is first told to write UTF-8; the caller's script follows as
  // it was given.
  const std::string utf8 = "[Console]::OutputEncoding = New-Object System.Text.UTF8Encoding $false; ";
  EXPECT_EQ(ps.args(0), (std::vector<std::string>{"-NoProfile", "-Command", utf8 + script}));
  EXPECT_EQ(ps.args(1), (std::vector<std::string>{"-NoProfile", "-Command", utf8}));
  EXPECT_EQ(ps.script(0), script);
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

TEST(PowerShellRunner, AProcessLeftRunningDoesNotHoldTheAnswer) {
  test::FakePowerShell ps;
  // More than a pipe holds, so the output must be read while PowerShell runs.
  const std::string block(256 * 1024, 'o');
  ps.answer(0, block + "end\n", "WARNING: started\n");
  // The process outlives CTest's time limit for the test binary, so a runner
  // that waited for it would fail the test rather than pass it late.
  ps.spawn(0, 600 * 1000);
  auto out = run_powershell("Start-Process -NoNewWindow ping.exe -ArgumentList '-t localhost'");
  ASSERT_TRUE(out.has_value()) << out.error().message;
  EXPECT_EQ(*out, block + "end");
}

TEST(PowerShellRunner, MissingProgramIsToolMissing) {
  test::NoPowerShell none;
  auto r = run_powershell("x");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, ErrorCode::kToolMissing);
  EXPECT_NE(r.error().message.find(" (os error 2)"), std::string::npos) << r.error().message;
}

TEST(PowerShellRunner, ProgramInWorkingDirectoryIsNotUsed) {
  // A PATH entry that is relative (here ".") must not be searched, even with a
  // program of that name in the working directory.
  test::TempDir dir;
  const std::string planted = dir.file(test::on_windows() ? "powershell.exe" : "powershell");
  std::filesystem::copy_file(std::filesystem::u8path(test::FakePowerShell::built_path()),
                             std::filesystem::u8path(planted));
  {
    // The planted program is one find_program takes from an absolute entry.
    test::ScopedEnv path("PATH", dir.path());
    auto found = find_program("powershell");
    ASSERT_TRUE(found.has_value()) << found.error().message;
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(*found), std::filesystem::u8path(planted)))
        << *found;
  }
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::u8path(dir.path()));
  test::ScopedEnv path("PATH", ".");
  auto found = find_program("powershell");
  std::filesystem::current_path(previous);
  EXPECT_FALSE(found.has_value()) << *found;
}

TEST(PowerShellRunner, AProgramEarlierOnPathIsNeverRunOnWindows) {
  test::FakePowerShell ps;
  test::TempDir decoy;
  const std::string planted = decoy.file(test::on_windows() ? "powershell.exe" : "powershell");
  std::filesystem::copy_file(std::filesystem::u8path(test::FakePowerShell::built_path()),
                             std::filesystem::u8path(planted));
  test::ScopedEnv path("PATH", decoy.path() + (test::on_windows() ? ";" : ":") + get_env("PATH").value_or(""));
  auto run = test::run_command("health", nullptr);
  ASSERT_EQ(run.response["ok"], true) << run.out;
  ASSERT_EQ(ps.calls(), 1);
  if (test::on_windows()) {
    // The system's own copy ran: here, the fake planted at that path.
    auto system = find_powershell();
    ASSERT_TRUE(system.has_value()) << system.error().message;
    EXPECT_EQ(ascii_lower(ps.program(0)), ascii_lower(*system));
    EXPECT_NE(ascii_lower(ps.program(0)), ascii_lower(planted));
  } else {
    // POSIX keeps the PATH lookup for tests and development.
    EXPECT_EQ(ps.program(0), planted);
  }
}

TEST(PowerShellRunner, TheChildInheritsOnlyItsStandardHandles) {
  test::FakePowerShell ps;
  test::TempDir dir;
  const std::string file = dir.file("held-open.txt");
  test::write_file(file, "x");
#ifdef _WIN32
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE held = CreateFileW(widen(file).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            &inherit, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ps.probe(0, reinterpret_cast<uintptr_t>(held));
#else
  int held = ::open(file.c_str(), O_RDONLY);  // inheritable: no O_CLOEXEC
  ASSERT_GE(held, 0);
  ps.probe(0, static_cast<uint64_t>(held));
  ps.probe(1, 1);  // the child's own standard output is there
#endif
  ASSERT_TRUE(run_powershell("x").has_value());
#ifdef _WIN32
  CloseHandle(held);
#else
  ASSERT_TRUE(run_powershell("y").has_value());
  EXPECT_EQ(ps.probed(1).rfind("pipe:", 0), 0u) << ps.probed(1);
  ::close(held);
#endif
  EXPECT_EQ(ps.probed(0), "invalid");
}

TEST(PowerShellRunner, KillingTheHelperEndsItsPowerShell) {
#ifdef _WIN32
  test::FakePowerShell ps;
  ps.sleep(0, 120000);
  const std::string request = R"({"id":"1","sessionId":"s","command":"health"})";
  std::wstring command =
      widen(quote_windows_argument(test::helper_exe()) + " --request " + quote_windows_argument(request));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
      << GetLastError();
  CloseHandle(pi.hThread);
  int pid = 0;
  for (int i = 0; i < 600 && pid == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pid = ps.pid(0);
  }
  ASSERT_NE(pid, 0) << "the fake PowerShell never started";
  HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  ASSERT_NE(child, nullptr) << GetLastError();
  TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hProcess);
  DWORD waited = WaitForSingleObject(child, 30000);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "PowerShell outlived the helper";
  if (waited != WAIT_OBJECT_0) TerminateProcess(child, 1);
  CloseHandle(child);
#else
  GTEST_SKIP() << "only the Windows backend ties the child to the helper (a job object)";
#endif
}

}  // namespace
}  // namespace dh
