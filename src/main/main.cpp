// disk-helper: runs one request given as --request <json> and prints exactly
// one response line (after any progress lines). Always exits 0 once the
// response line is written.
#include <string_view>

#include "main/run.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  dh::suppress_system_error_dialogs();
  // Handlers' exceptions are answered with the request's id already; this is
  // for what fails around them (memory exhausted while reading the arguments
  // or building the answer). The fallback needs no allocation.
  static constexpr std::string_view kFallback =
      R"({"id":"unknown","ok":false,"errorCode":"UNKNOWN","errorMessage":"Unexpected error"})";
  std::string line;
  bool failed = false;
  try {
    std::vector<std::string> args = dh::command_line_arguments(argc, argv);
    line = dh::serialize_response(dh::handle_arguments(args));
  } catch (...) {
    failed = true;
  }
  dh::write_stdout_line(failed ? kFallback : std::string_view(line));
  return 0;
}
