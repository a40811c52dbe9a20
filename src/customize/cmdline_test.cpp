// Merging a kernel command-line addition into cmdline.txt.
#include <gtest/gtest.h>

#include "customize/cmdline.h"

namespace dh {
namespace {

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kFirstBoot =
    "systemd.run=/boot/firstrun.sh systemd.run_success_action=reboot systemd.unit=kernel-command-line.target";
// NOLINTEND(cert-err58-cpp)

TEST(MergeCmdline, CollapsesWhiteSpaceAndEndsWithOneLineFeed) {
  EXPECT_EQ(merge_cmdline("a=1  b  c=2\r\n", "  " + kFirstBoot + " \t"), "a=1 b c=2 " + kFirstBoot + "\n");
  // Several lines become one; CR alone and LF alone count as separators.
  EXPECT_EQ(merge_cmdline("\r\n a\nb\rc \r\n\r\n", "x"), "a b c x\n");
  // The addition is trimmed but its inner text is used as given.
  EXPECT_EQ(merge_cmdline("a", "\xC2\xA0 x  y=z  a \n"), "a x  y=z  a\n");
  // Line breaks inside the addition become spaces, so the file stays one line.
  EXPECT_EQ(merge_cmdline("a\n", "x\r\ny\nz\rw"), "a x  y z w\n");
}

TEST(MergeCmdline, MergingTheSameAdditionTwiceChangesNothing) {
  std::string once = merge_cmdline("console=tty1  root=PARTUUID=1-02 rootwait\r\n", kFirstBoot);
  EXPECT_EQ(once, "console=tty1 root=PARTUUID=1-02 rootwait " + kFirstBoot + "\n");
  EXPECT_EQ(merge_cmdline(once, kFirstBoot), once);
  EXPECT_EQ(merge_cmdline(merge_cmdline(once, kFirstBoot), kFirstBoot), once);
}

TEST(MergeCmdline, DropsOnlyEarlierCustomizationTokens) {
  EXPECT_EQ(merge_cmdline("systemd.run systemd.runner=x a systemd.unit=x systemd.run=1 b "
                          "systemd.unit=kernel-command-line.target c",
                          "z"),
            "a systemd.unit=x b c z\n");
  // Only a token that begins with the marker goes, and the match is exact in case;
  // duplicates of other tokens stay, in order.
  EXPECT_EQ(merge_cmdline("xsystemd.run=1 SYSTEMD.RUN=1 systemd.ru a a systemd.unit=kernel-command-line.targetx", "z"),
            "xsystemd.run=1 SYSTEMD.RUN=1 systemd.ru a a systemd.unit=kernel-command-line.targetx z\n");
}

TEST(MergeCmdline, EmptyExistingTextOrAdditionOfSpaces) {
  EXPECT_EQ(merge_cmdline("", " quiet "), "quiet\n");
  EXPECT_EQ(merge_cmdline(" \r\n", "quiet"), "quiet\n");
  EXPECT_EQ(merge_cmdline("systemd.run=1\n", "quiet"), "quiet\n");
  EXPECT_EQ(merge_cmdline("a  b\r\n", "   "), "a b \n");
  EXPECT_EQ(merge_cmdline("", "   "), "\n");
}

TEST(MergeCmdline, UnicodeWhiteSpaceSeparatesTokens) {
  // U+00A0, U+3000, U+2028, U+1680, U+0085 separate; U+200B and U+FEFF are not
  // white space and stay inside their tokens, as do other non-ASCII letters.
  EXPECT_EQ(merge_cmdline("a\xC2\xA0"
                          "b\xE3\x80\x80"
                          "c\xE2\x80\xA8"
                          "d\xE1\x9A\x80"
                          "e\xC2\x85"
                          "f",
                          "z"),
            "a b c d e f z\n");
  EXPECT_EQ(merge_cmdline("\xC2\xA0systemd.run=x\xE3\x80\x80"
                          "g=\xC3\xA9\xE2\x80\x8Bh \xEF\xBB\xBFi",
                          "z"),
            "g=\xC3\xA9\xE2\x80\x8Bh \xEF\xBB\xBFi z\n");
}

}  // namespace
}  // namespace dh
