// Which file names apply_customization accepts on the boot partition, and
// which drive letters.
#include <gtest/gtest.h>

#include "customize/boot_names.h"

namespace dh {
namespace {

TEST(BootPathNames, RefusedNamesSayWhy) {
  const std::string reserved = " is a reserved device name";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"", "it is empty"},
      {"\\config.txt", "it is absolute"},
      {"/config.txt", "it is absolute"},
      {"C:config.txt", "it starts with a drive"},
      {"e:\\config.txt", "it starts with a drive"},
      {std::string("a\0b", 3), "it contains a NUL character"},
      {"a\tb", "it contains a control character"},
      {"a\x7F", "it contains a control character"},
      {"a\xC2\x85"
       "b",
       "it contains a control character"},  // U+0085, a C1 control
      {"config.txt:hidden", "it contains \":\""},
      {"a<b", "it contains \"<\""},
      {"overlays/a>b", "it contains \">\""},
      {"say \"hi\".txt", "it contains \"\"\""},
      {"a|b", "it contains \"|\""},
      {"config?.txt", "it contains \"?\""},
      {"*.txt", "it contains \"*\""},
      {"../config.txt", "it has a \"..\" component"},
      {"overlays/../../x", "it has a \"..\" component"},
      {"overlays//x", "it has an empty component"},
      {"overlays\\", "it has an empty component"},
      {"./x", "a component ends in a dot or a space"},
      {"x.", "a component ends in a dot or a space"},
      {"dir /x", "a component ends in a dot or a space"},
      {"NUL", "\"NUL\"" + reserved},
      {"nul.txt", "\"nul.txt\"" + reserved},
      {"overlays/Con.tar.gz", "\"Con.tar.gz\"" + reserved},
      {"aux .log", "\"aux .log\"" + reserved},
      {"prn", "\"prn\"" + reserved},
      {"COM0", "\"COM0\"" + reserved},
      {"com9.txt", "\"com9.txt\"" + reserved},
      {"LPT1", "\"LPT1\"" + reserved},
      {"lpt\xC2\xB9", "\"lpt\xC2\xB9\"" + reserved},
      {std::string(241, 'a'), "it is longer than 240 characters"},
      {std::string(80, '\xE6') + std::string(80, '\x97'), "it is not valid UTF-8"},
      {std::string(121, 'a') + std::string(30, 'b') + "\xF0\x9F\x98\x80" + std::string(88, 'c'),
       "it is longer than 240 characters"},  // 240 characters, but 241 UTF-16 units
  };
  for (const auto& [path, why] : refused) EXPECT_EQ(boot_path_problem(path), why) << path;

  const std::vector<std::string> accepted = {"config.txt",
                                             "overlays/vc4-kms-v3d.dtbo",
                                             "overlays\\README",
                                             "firstrun.sh",
                                             ".hidden",
                                             "CONFIG",
                                             "console.txt",
                                             "COM10",
                                             "LPT",
                                             "nul_device.txt",
                                             "con-fig.txt",
                                             "\xC3\xA9t\xC3\xA9.txt",
                                             std::string(240, 'a'),
                                             "a b.txt",
                                             "..a",
                                             "a..b"};
  for (const std::string& path : accepted) {
    EXPECT_EQ(boot_path_problem(path), std::nullopt) << path;
  }
}

TEST(DriveLetters, ExactlyOneAsciiLetter) {
  for (const char* text : {"E", "e", "Z", "a"}) EXPECT_TRUE(is_drive_letter(text)) << text;
  for (const char* text : {"", "E:", "EF", "1", "\xC3\x89", "WARNING: x\r\nE", " E", "E:\\"}) {
    EXPECT_FALSE(is_drive_letter(text)) << text;
  }
}

}  // namespace
}  // namespace dh
