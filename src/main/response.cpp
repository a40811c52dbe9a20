#include "main/response.h"

#include "dispatch/dispatch.h"
#include "main/request.h"

namespace dh {

using nlohmann::json;

HelperResponse make_error_response(std::string id, std::string code, std::string message) {
  HelperResponse r;
  r.id = std::move(id);
  r.ok = false;
  r.error_code = std::move(code);
  r.error_message = std::move(message);
  return r;
}

HelperResponse make_response(std::string id, HandlerResult result) {
  if (!result) {
    HelperError err = std::move(result).error();
    return make_error_response(std::move(id), std::move(err.code), std::move(err.message));
  }
  HelperResponse r;
  r.id = std::move(id);
  r.ok = true;
  r.payload = std::move(result).value();
  return r;
}

std::string dump_json(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::strict); }

std::string serialize_response(const HelperResponse& response) {
  try {
    std::string out;
    out.reserve(128);
    out += "{\"id\":";
    out += dump_json(response.id);
    out += response.ok ? ",\"ok\":true" : ",\"ok\":false";
    if (response.error_code) out += ",\"errorCode\":" + dump_json(*response.error_code);
    if (response.error_message) out += ",\"errorMessage\":" + dump_json(*response.error_message);
    if (response.payload) out += ",\"payload\":" + dump_json(*response.payload);
    out += "}";
    return out;
  } catch (const json::exception& e) {
    // The serializer's own text may quote the offending bytes; replace them
    // so that this line, at least, is valid JSON.
    json text = std::string(e.what());
    return "{\"id\":\"unknown\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":" +
           text.dump(-1, ' ', false, json::error_handler_t::replace) + "}";
  }
}

HelperResponse handle_arguments(const std::vector<std::string>& args) {
  size_t at = 1;
  while (at < args.size() && args[at] != "--request") ++at;
  if (at >= args.size()) {
    return make_error_response("unknown", error_code::kUnknown, "Expected --request <json> argument");
  }
  if (at + 1 >= args.size()) {
    return make_error_response("unknown", error_code::kUnknown, "Missing JSON payload after --request");
  }
  auto request = parse_request(args[at + 1]);
  if (!request) return make_error_response("unknown", error_code::kUnknown, std::move(request).error());
  return make_response(request->id, dispatch(*request));
}

}  // namespace dh
