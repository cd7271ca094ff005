#pragma once
// Service locations, the access token, and the description of authenticated
// GET requests on the core service.
//
// Every operation reads the configuration afresh (get_configparser); nothing
// is kept in memory between calls. The access token is memoised on disk for
// 30 minutes, keyed by the token id and secret (not by the environment).
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "keelbox/http/http.hpp"

namespace keelbox::api {

// Version segment of the core service's REST interface.
inline constexpr const char* CORE_API_VERSION = "v1";
// Media type asked for in the "Accept" header of core requests.
inline constexpr const char* ACCEPT = "application/vnd.api+json";
// Seconds that bound connection set-up and each wait for data of a core request.
inline constexpr int TIMEOUT = 5;
// The token request has no time-out; no data for this long ends it.
inline constexpr long TOKEN_STALL_SECONDS = 60;

// Every JSON answer is refused beyond this size (while it arrives, after
// decoding) and beyond this nesting depth.
inline constexpr std::size_t MAX_JSON_ANSWER_BYTES = std::size_t{64} * 1024 * 1024;
inline constexpr int MAX_JSON_DEPTH = 512;
// The longest access token accepted from the token service, in bytes.
inline constexpr std::size_t MAX_ACCESS_TOKEN_BYTES = 16 * 1024;

// Authorisation schemes.
enum class AuthType { BEARER };
// The scheme word: "Bearer".
constexpr std::string_view auth_type_value(AuthType t) {
  switch (t) {
    case AuthType::BEARER: return "Bearer";
  }
  return "";
}

// Description of an authenticated GET on the core service. Certificates are
// always verified by the HTTP layer, so no field could turn that off.
struct RequestKWARGSDict {
  http::Headers headers;  // "Accept", then "Authorization"
  std::string url;
  int timeout = TIMEOUT;
};

// The description of a GET on core REST base + `path` (appended unchanged; it
// begins with "/" and may carry a query). Obtains the access token first,
// through `client` when it is not stored.
RequestKWARGSDict create_get_request(http::Client& client, const std::string& path);

// Sends the described GET with its fields applied: the headers, the address,
// and the time-out bounding connection set-up and each wait for data; the
// certificate is verified. Error statuses are returned, not raised.
http::Response send_get(http::Client& client, const RequestKWARGSDict& request,
                        bool follow_redirects = true);

// Bounds `request` as a JSON answer is bounded (MAX_JSON_ANSWER_BYTES) and
// lets its answer be gzip- or deflate-encoded.
void expect_json_answer(http::Request& request);

// The JSON value of an answer's body. A body that is not JSON throws
// ParseError "<what> is not JSON: <reason>"; one nested deeper than
// MAX_JSON_DEPTH throws ParseError "<what> is nested deeper than 512 levels".
nlohmann::json parse_json_answer(std::string_view body, std::string_view what);

// https://core.<env>.<domain>/v1
std::string _get_cloud_api_url();
// https://token.<env>.<domain>
std::string _get_token_api_url();
// https://core.<env>.<domain>/v1/license
std::string _get_core_rest_url();

// The access token of the configured profile (memoised request).
std::string _get_access_token(http::Client& client);

// Exchanges token id and secret for an access token (POST /oauth/token),
// memoised for 1800 s under the keyword arguments TOKEN_USERNAME and
// TOKEN_SECRET. 404 -> KeelboxException "Token <id> not found. Did you add the
// correct token id?"; other non-200 -> KeelboxException "Authentication
// failed. Status code: <n>"; a body that is not JSON -> ParseError; no
// "access_token" member -> KeyError; a token that is empty, longer than
// MAX_ACCESS_TOKEN_BYTES or not of the characters a bearer token consists of
// -> KeelboxException (nothing stored). Transport failures pass unchanged.
std::string _access_token_request(http::Client& client, const std::string& TOKEN_USERNAME,
                                  const std::string& TOKEN_SECRET);

// "Basic " + Base64 of the UTF-8 text "<id>:<secret>".
std::string basic_credential(const std::string& token_id, const std::string& token_secret);

}  // namespace keelbox::api
