#include "keelbox/api/api.hpp"

#include <nlohmann/json.hpp>

#include "keelbox/build_config.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/text/base64.hpp"
#include "keelbox/trace/trace.hpp"

namespace keelbox::api {
namespace {

// The client-credentials grant, serialised exactly so (36 bytes).
constexpr std::string_view TOKEN_REQUEST_BODY = R"({"grant_type": "client_credentials"})";

std::string cloud_environment() { return active_profile().cloud_environment; }

std::string service_origin(std::string_view label) {
  return "https://" + std::string(label) + "." + cloud_environment() + "." +
         keelbox::build::SERVICE_DOMAIN;
}

// Whether `token` is a bearer token as the Authorization header carries it:
// one or more of ALPHA / DIGIT / "-" / "." / "_" / "~" / "+" / "/", then any
// number of "=". Nothing else may reach the header line.
bool is_b64token(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size()) {
    const char c = token[i];
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                         c == '+' || c == '/';
    if (!allowed) break;
    ++i;
  }
  if (i == 0) return false;
  while (i < token.size() && token[i] == '=') ++i;
  return i == token.size();
}

// The token as the service sent it, when it is fit to be sent back; a clear
// error otherwise. Runs inside the memoised request, so a refused token is
// never stored.
std::string checked_access_token(std::string token) {
  const std::string what = "The token service sent an access token that cannot be used: ";
  if (token.empty()) throw KeelboxException(what + "it is empty.");
  if (token.size() > MAX_ACCESS_TOKEN_BYTES) {
    throw KeelboxException(what + "it is longer than " + std::to_string(MAX_ACCESS_TOKEN_BYTES) +
                           " bytes.");
  }
  if (!is_b64token(token)) {
    throw KeelboxException(what + "it holds characters a bearer token cannot hold.");
  }
  return token;
}

std::string request_token(http::Client& client, const std::string& token_id,
                          const std::string& token_secret) {
  http::Request request;
  request.method = "POST";
  request.url = _get_token_api_url() + "/oauth/token";
  request.headers = {{"Authorization", basic_credential(token_id, token_secret)},
                     {"Content-Type", "application/json"}};
  request.body = std::string(TOKEN_REQUEST_BODY);
  request.stall_seconds = TOKEN_STALL_SECONDS;
  expect_json_answer(request);
  const http::Response response = client.send(request);

  if (response.status == 200) {
    const nlohmann::json doc = parse_json_answer(response.body, "The token service's answer");
    if (!doc.is_object() || !doc.contains("access_token")) throw KeyError("'access_token'");
    const nlohmann::json& token = doc["access_token"];
    if (!token.is_string()) throw ParseError("The token service's access_token is not text");
    return checked_access_token(token.get<std::string>());
  }
  if (response.status == 404) {
    throw KeelboxException("Token " + token_id + " not found. Did you add the correct token id?");
  }
  throw KeelboxException("Authentication failed. Status code: " + std::to_string(response.status));
}

}  // namespace

void expect_json_answer(http::Request& request) {
  request.max_body_bytes = MAX_JSON_ANSWER_BYTES;
  request.decode_content = true;
}

nlohmann::json parse_json_answer(std::string_view body, std::string_view what) {
  // Counted while parsing, so that no deeper value is ever built.
  const nlohmann::json::parser_callback_t bound =
      [what](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if ((event == nlohmann::json::parse_event_t::object_start ||
             event == nlohmann::json::parse_event_t::array_start) &&
            depth >= MAX_JSON_DEPTH) {
          throw ParseError(std::string(what) + " is nested deeper than " +
                           std::to_string(MAX_JSON_DEPTH) + " levels");
        }
        return true;
      };
  try {
    return nlohmann::json::parse(body, bound);
  } catch (const nlohmann::json::exception& e) {
    throw ParseError(std::string(what) + " is not JSON: " + e.what());
  }
}

std::string basic_credential(const std::string& token_id, const std::string& token_secret) {
  return "Basic " + text::base64_encode(token_id + ":" + token_secret);
}

std::string _get_cloud_api_url() { return service_origin("core") + "/" + CORE_API_VERSION; }

std::string _get_token_api_url() { return service_origin("token"); }

std::string _get_core_rest_url() { return _get_cloud_api_url() + "/license"; }

std::string _access_token_request(http::Client& client, const std::string& TOKEN_USERNAME,
                                  const std::string& TOKEN_SECRET) {
  static const Memoized<std::string> memo{"keelbox.api", "_access_token_request", 1800.0};
  MemoArgs args;
  args.keyword = {{"TOKEN_USERNAME", TOKEN_USERNAME}, {"TOKEN_SECRET", TOKEN_SECRET}};
  bool requested = false;
  std::string token = memo(args, [&] {
    requested = true;
    if (trace::enabled(trace::Level::info)) {
      trace::trace(trace::Level::info, "token",
                   "no access token cached for token id " + trace::short_id(TOKEN_USERNAME) +
                       " (none yet, or expired): asking the token service");
    }
    return request_token(client, TOKEN_USERNAME, TOKEN_SECRET);
  });
  if (trace::enabled(trace::Level::info)) {
    trace::trace(trace::Level::info, "token",
                 requested
                     ? "new access token kept in the cache for 30 minutes"
                     : "cached access token used for token id " + trace::short_id(TOKEN_USERNAME));
  }
  return token;
}

std::string _get_access_token(http::Client& client) {
  const KeelboxProfile profile = active_profile();
  return _access_token_request(client, profile.token_id, profile.token);
}

RequestKWARGSDict create_get_request(http::Client& client, const std::string& path) {
  const std::string token = _get_access_token(client);
  RequestKWARGSDict request;
  request.headers = {
      {"Accept", ACCEPT},
      {"Authorization", std::string(auth_type_value(AuthType::BEARER)) + " " + token}};
  request.url = _get_core_rest_url() + path;
  request.timeout = TIMEOUT;
  return request;
}

http::Response send_get(http::Client& client, const RequestKWARGSDict& description,
                        bool follow_redirects) {
  http::Request request;
  request.method = "GET";
  request.url = description.url;
  request.headers = description.headers;
  request.follow_redirects = follow_redirects;
  request.timeout_seconds = description.timeout;
  expect_json_answer(request);
  return client.send(request);
}

}  // namespace keelbox::api
