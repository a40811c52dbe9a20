#include "main/run.h"
#include "support/test_support.h"

namespace dh::test {

HelperRun run_command_here(const std::string& command, const nlohmann::json& payload) {
  HelperRun run;
  run.exit_code = 0;
  const std::string request = command_request(command, payload).dump();
  run.out = serialize_response(handle_arguments({"disk-helper", "--request", request})) + "\n";
  split_lines(run);
  return run;
}

}  // namespace dh::test
