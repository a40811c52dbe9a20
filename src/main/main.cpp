// disk-helper: runs one request given as --request <json> and prints exactly
// one response line (after any progress lines). Always exits 0 once the
// response line is written.
#include "main/response.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  std::vector<std::string> args = dh::command_line_arguments(argc, argv);
  dh::HelperResponse response = dh::handle_arguments(args);
  dh::write_stdout_line(dh::serialize_response(response));
  return 0;
}
