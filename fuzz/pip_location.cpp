// The private index address in the answer to "/pip": the raw header lines
// of the answer are parsed as the HTTP layer parses them, then the location
// is taken from the record. No request is sent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/install/install.hpp"
#include "support.hpp"

namespace {

// The first byte picks the status; the rest are header lines as curl passes
// them (each with its line end).
constexpr long STATUSES[] = {303, 303, 303, 303, 200, 301, 302, 304, 404, 500, 599, 600, 0};

std::vector<std::string> header_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keelbox;
  if (size == 0) return 0;
  http::Response response = http::response_from_head(
      header_lines(fuzz::as_text(data + 1, size - 1)), STATUSES[data[0] % std::size(STATUSES)]);
  response.url = "https://core.cloud.example.com/v1/license/pip";
  try {
    const std::string address = install::_index_address_from_answer(response);
    if (response.status != 303) fuzz::broken("an address taken from a status other than 303");
    if (address != response.header("location")) fuzz::broken("not the location header", address);
  } catch (const HTTPStatusError& e) {
    if (response.status < 400 || response.status > 599) fuzz::broken("status error for", e.what());
  } catch (const KeelboxException&) {
    // Another status, or no location: refused with a message.
  }
  return 0;
}
