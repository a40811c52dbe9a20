// docs/protocol.md, the reference for application developers, names exactly
// the commands and error codes the helper has, and shows each command with a
// request of that command.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/dispatch.h"
#include "support/test_support.h"

namespace dh {
namespace {

std::string read_doc() {
  std::ifstream in(test::native_path(PROTOCOL_DOC), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text of the "## <title>" section, up to the next "## " heading.
std::string section(const std::string& doc, const std::string& title) {
  size_t start = doc.find("\n## " + title + "\n");
  if (start == std::string::npos) return {};
  size_t end = doc.find("\n## ", start + 1);
  return doc.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The names of the "### `name`" headings of a section, sorted.
std::vector<std::string> headings(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("### `", 0) == 0 && line.size() > 6 && line.back() == '`') {
      names.push_back(line.substr(5, line.size() - 6));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> error_code_texts() {
  std::vector<std::string> texts;
  for (ErrorCode code : kAllErrorCodes) texts.emplace_back(error_code_text(code));
  return texts;
}

template <typename Names>
std::vector<std::string> sorted(const Names& names) {
  std::vector<std::string> out(names.begin(), names.end());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ProtocolDoc, NamesExactlyTheHelpersCommandsAndErrorCodes) {
  const std::string doc = read_doc();
  ASSERT_FALSE(doc.empty()) << "cannot read " << PROTOCOL_DOC;
  const std::string commands = section(doc, "Commands");
  EXPECT_EQ(headings(commands), sorted(command_names()));
  EXPECT_EQ(headings(section(doc, "Error codes")), sorted(error_code_texts()));

  for (std::string_view name : command_names()) {
    const std::string open = "<!-- example " + std::string(name) + " -->";
    size_t begin = commands.find(open);
    size_t end = commands.find("<!-- /example -->", begin);
    ASSERT_NE(begin, std::string::npos) << "no example for " << name;
    const std::string example = commands.substr(begin, end - begin);
    EXPECT_NE(example.find("\"command\":\"" + std::string(name) + "\""), std::string::npos)
        << "the example of " << name << " runs no " << name << " request";
    EXPECT_NE(example.find("\n{\"id\":"), std::string::npos) << "no answer line in the example of " << name;
  }
}

}  // namespace
}  // namespace dh
