// The entry point and response envelope, through the built binary.
#include <gtest/gtest.h>

#include "main/run.h"
#include "protocol/request.h"
#include "protocol/response.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;
using test::run_helper_args;

TEST(Envelope, NoArgumentsAsksForRequest) {
  auto run = run_helper_args({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out,
            "{\"id\":\"unknown\",\"ok\":false,\"errorCode\":\"UNKNOWN\","
            "\"errorMessage\":\"Expected --request <json> argument\"}\n");
}

TEST(Envelope, ArgumentSearchIsExactAndIgnoresOthers) {
  auto lookalike = run_helper_args({"--Request", "{}", "--request=x", "--requestx"});
  EXPECT_EQ(lookalike.response["errorMessage"], "Expected --request <json> argument");

  auto last = run_helper_args({"a", "--request"});
  EXPECT_EQ(last.response["errorMessage"], "Missing JSON payload after --request");

  auto surrounded =
      run_helper_args({"--verbose", "--request", R"({"id":"7","sessionId":"s","command":"cancel_task"})", "trailing"});
  EXPECT_EQ(surrounded.out, "{\"id\":\"7\",\"ok\":true,\"payload\":{\"canceled\":true}}\n");

  // The second --request is taken as the request text and fails to parse.
  auto twice = run_helper_args({"--request", "--request", "{}"});
  EXPECT_EQ(twice.response["id"], "unknown");
  EXPECT_EQ(twice.response["ok"], false);
  EXPECT_NE(twice.response["errorMessage"].get<std::string>().find("parse error"), std::string::npos);
  EXPECT_EQ(twice.lines.size(), 1u);
}

TEST(Envelope, NonAsciiRequestTextRoundTrips) {
  auto run = run_helper_args({"--request", R"({"id":"José-✓","sessionId":"s","command":"nope"})"});
  EXPECT_EQ(run.out,
            "{\"id\":\"José-✓\",\"ok\":false,\"errorCode\":\"UNKNOWN\","
            "\"errorMessage\":\"Unsupported helper command: nope\"}\n");
}

TEST(RequestParser, AcceptsObjectAndArrayForms) {
  auto obj = parse_request(R"({"payload":{"a":1},"command":"c","extra":[1,{"x":2}],"sessionId":"s","id":""})");
  ASSERT_TRUE(obj.has_value());
  EXPECT_EQ(obj->id, "");
  EXPECT_EQ(obj->session_id, "s");
  EXPECT_EQ(obj->command, "c");
  EXPECT_EQ(obj->payload, json({{"a", 1}}));

  auto no_payload = parse_request(R"({"id":"1","sessionId":"s","command":"c"})");
  ASSERT_TRUE(no_payload.has_value());
  EXPECT_TRUE(no_payload->payload.is_null());

  auto three = parse_request(R"(["1","s","c"])");
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(three->command, "c");
  auto four = parse_request(R"(["1","s","c",{"k":true}])");
  ASSERT_TRUE(four.has_value());
  EXPECT_EQ(four->payload, json({{"k", true}}));
}

TEST(RequestParser, RejectsMalformedRequests) {
  struct Case {
    const char* text;
    const char* expected_fragment;
  };
  const Case cases[] = {
      {R"({"id":"1","sessionId":"s"})", "missing field `command`"},
      {R"({"id":"1","id":"2","sessionId":"s","command":"c"})", "duplicate field `id`"},
      {R"({"id":"1","sessionId":"s","command":"c","payload":1,"payload":2})", "duplicate field `payload`"},
      {R"({"id":5,"sessionId":"s","command":"c"})", "invalid type: integer `5`, expected a string"},
      {R"({"id":"1","sessionId":"s","command":null})", "expected a string"},
      {R"(["1","s"])", "expected struct WindowsHelperRequest with 4 elements"},
      {R"(["1","s","c",null,5])", "invalid length 5"},
      {R"("just text")", "expected struct WindowsHelperRequest"},
      {R"(42)", "expected struct WindowsHelperRequest"},
      {R"({"id":"1","sessionId":"s","command":"c"} x)", "parse error"},
      {R"({"id":"1",)", "parse error"},
      {"", "parse error"},
  };
  for (const auto& c : cases) {
    auto r = parse_request(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().code, ErrorCode::kUnknown) << c.text;
    EXPECT_NE(r.error().message.find(c.expected_fragment), std::string::npos) << c.text << " -> " << r.error().message;
  }
  // Duplicates below the top level are the payload's own business.
  EXPECT_TRUE(parse_request(R"({"id":"1","sessionId":"s","command":"c","payload":{"a":1,"a":2}})").has_value());
}

TEST(Envelope, IdWithoutCommandAnswersUnknownId) {
  auto run = run_helper_args({"--request", R"({"id":"given","sessionId":"s"})"});
  EXPECT_EQ(run.response["id"], "unknown");
  EXPECT_EQ(run.response["errorMessage"], "missing field `command`");
}

TEST(ResponseWriter, FixedEnvelopeOrderSortedPayloadAndEscapes) {
  auto ok = make_response("i", json{{"sessionId", "x"}, {"ok", true}, {"platform", "p"}});
  EXPECT_EQ(serialize_response(ok), R"({"id":"i","ok":true,"payload":{"ok":true,"platform":"p","sessionId":"x"}})");

  auto err = make_error_response("i", ErrorCode::kUnknown, std::string("q\"b\\\b\t\n\f\r\x01\x1f/é", 14));
  EXPECT_EQ(serialize_response(err),
            "{\"id\":\"i\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":"
            "\"q\\\"b\\\\\\b\\t\\n\\f\\r\\u0001\\u001f/\xC3\xA9\"}");
}

TEST(ResponseWriter, UnserializableTextFallsBackToValidJson) {
  auto bad = make_response("i", json{{"text", std::string("\xFF\xFE")}});
  std::string line = serialize_response(bad);
  auto parsed = json::parse(line, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << line;
  EXPECT_EQ(parsed["id"], "unknown");
  EXPECT_EQ(parsed["ok"], false);
  EXPECT_EQ(parsed["errorCode"], "UNKNOWN");
  EXPECT_FALSE(parsed["errorMessage"].get<std::string>().empty());
}

}  // namespace
}  // namespace dh

namespace dh {
namespace {

// Inputs a caller could send by mistake or malice: each gets a clear answer,
// never a crash.
TEST(HostileRequests, HugeRequestTextIsHandled) {
  std::string big = R"({"id":"big","sessionId":"s","command":"cancel_task","payload":{"junk":")";
  big.append(100u * 1000 * 1000, 'x');
  big += "\"}}";
  auto response = handle_arguments({"disk-helper", "--request", big});
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.id, "big");
}

TEST(HostileRequests, DeeplyNestedPayloadDoesNotOverflowTheStack) {
  const size_t depth = 1000000;
  std::string text = R"({"id":"deep","sessionId":"s","command":"image_validate_xz","payload":)";
  text += std::string(depth, '[') + std::string(depth, ']') + "}";
  auto response = handle_arguments({"disk-helper", "--request", text});
  EXPECT_EQ(response.id, "deep");
  EXPECT_FALSE(response.ok);  // a nested array is no imagePath, whatever the command does with it

  std::string objects = R"({"id":"deep2","sessionId":"s","command":"cancel_task","payload":)";
  for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(depth, '}') + "}";
  EXPECT_TRUE(handle_arguments({"disk-helper", "--request", objects}).ok);
}

TEST(HostileRequests, OutOfRangeNumbersAreParserErrorsOrSaturate) {
  auto overflow = handle_arguments(
      {"disk-helper", "--request", R"({"id":"n","sessionId":"s","command":"cancel_task","payload":{"x":1e400}})"});
  EXPECT_FALSE(overflow.ok);
  EXPECT_EQ(overflow.id, "unknown");
  EXPECT_NE(overflow.error_message->find("1e400"), std::string::npos) << *overflow.error_message;
}

}  // namespace
}  // namespace dh

namespace dh {
namespace {

// Paths travel as UTF-8 inside and reach the OS whole: a user folder such as
// C:\Users\José must work on Windows, where arguments arrive as UTF-16.
TEST(Envelope, NonAsciiPathsReachTheFileSystem) {
  test::TempDir dir;
  std::string name = dir.file("Jos\xC3\xA9 \xE2\x9C\x93 image.img");
  test::write_file(name, "not an xz stream");
  auto found = test::run_command("image_validate_xz", {{"imagePath", name}});
  EXPECT_EQ(found.response["errorCode"], "XZ_INVALID") << found.out;

  std::string missing = dir.file("Jos\xC3\xA9-missing.img");
  auto absent = test::run_command("image_validate_xz", {{"imagePath", missing}});
  EXPECT_EQ(absent.response["errorCode"], "IMAGE_MISSING");
  EXPECT_EQ(absent.response["errorMessage"], "Image does not exist: " + missing);
}

}  // namespace
}  // namespace dh
