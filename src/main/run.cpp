#include "main/run.h"

#include "commands/dispatch.h"
#include "protocol/request.h"

namespace dh {

HelperResponse handle_arguments(const std::vector<std::string>& args) {
  size_t at = 1;
  while (at < args.size() && args[at] != "--request") ++at;
  if (at >= args.size()) {
    return make_error_response("unknown", ErrorCode::kUnknown, "Expected --request <json> argument");
  }
  if (at + 1 >= args.size()) {
    return make_error_response("unknown", ErrorCode::kUnknown, "Missing JSON payload after --request");
  }
  auto request = parse_request(args[at + 1]);
  if (!request) return make_response("unknown", unexpected(std::move(request).error()));
  return make_response(request->id, dispatch(*request));
}

}  // namespace dh
