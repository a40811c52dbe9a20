// The built disk-helper.exe carries what Windows reads from an executable:
// the version resource (file and product version from the project's
// version) and the application manifest (run as invoker, Windows 10 and 11,
// long paths). Read back the way Windows reads them.
#include <windows.h>

#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

#include "platform/win32_text.h"
#include "support/test_support.h"

namespace dh {
namespace {

std::wstring helper() { return widen(test::helper_exe()); }

// "1.2.3" as the two halves of a VS_FIXEDFILEINFO version: 1.2.3.0.
std::pair<DWORD, DWORD> version_words(const std::string& version) {
  unsigned parts[3] = {};
  const char* at = version.data();
  const char* end = version.data() + version.size();
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && at < end && *at == '.') ++at;
    auto [next, ec] = std::from_chars(at, end, parts[i]);
    EXPECT_EQ(ec, std::errc()) << version;
    at = next;
  }
  EXPECT_EQ(at, end) << version;
  return {MAKELONG(parts[1], parts[0]), MAKELONG(0, parts[2])};
}

TEST(ExeResources, VersionResourceCarriesTheProjectVersion) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(helper().c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<unsigned char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(helper().c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  auto [ms, ls] = version_words(DISK_HELPER_VERSION);
  EXPECT_EQ(fixed->dwFileVersionMS, ms);
  EXPECT_EQ(fixed->dwFileVersionLS, ls);
  EXPECT_EQ(fixed->dwProductVersionMS, ms);
  EXPECT_EQ(fixed->dwProductVersionLS, ls);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  const std::pair<const wchar_t*, std::string> strings[] = {
      {L"FileVersion", DISK_HELPER_VERSION},
      {L"ProductVersion", DISK_HELPER_VERSION},
      {L"OriginalFilename", "disk-helper.exe"},
      {L"ProductName", "disk-helper"},
  };
  for (const auto& [name, expected] : strings) {
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) << narrow(name);
    EXPECT_EQ(narrow(value), expected) << narrow(name);
  }
}

TEST(ExeResources, ManifestRunsAsInvokerOnWindows10And11WithLongPaths) {
  HMODULE module = LoadLibraryExW(helper().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  std::string manifest;
  if (found != nullptr) {
    HGLOBAL loaded = LoadResource(module, found);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (bytes != nullptr) manifest.assign(bytes, SizeofResource(module, found));
  }
  FreeLibrary(module);
  ASSERT_FALSE(manifest.empty()) << "no application manifest (resource 1 of type RT_MANIFEST)";

  const char* fragments[] = {
      R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)",
      R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)",
      R"(<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>)",
      R"(processorArchitecture="amd64")",
  };
  for (const char* fragment : fragments) EXPECT_NE(manifest.find(fragment), std::string::npos) << fragment;
  std::string version = std::string("version=\"") + DISK_HELPER_VERSION + ".0\"";
  EXPECT_NE(manifest.find(version), std::string::npos) << manifest;
}

}  // namespace
}  // namespace dh
