#include "protocol/response.h"

namespace dh {

using nlohmann::json;

HelperResponse make_error_response(std::string id, ErrorCode code, std::string message) {
  HelperResponse r;
  r.id = std::move(id);
  r.ok = false;
  r.error_code = std::string(error_code_text(code));
  r.error_message = std::move(message);
  return r;
}

HelperResponse make_response(std::string id, HandlerResult result) {
  if (!result) {
    HelperError err = std::move(result).error();
    return make_error_response(std::move(id), err.code, std::move(err.message));
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

}  // namespace dh
