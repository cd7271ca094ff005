// The system's certificate bundle: which of the places looked at is taken,
// and what a certificate failure then says about them.
#include "keelbox/http/ca_bundle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace http = keelbox::http;

namespace {

constexpr std::array<std::string_view, 3> kPlaces = {"/first/bundle.crt", "/second/bundle.pem",
                                                     "/third/cert.pem"};

TEST(CaBundle, TheFirstPlaceThatHoldsAFileIsTaken) {
  struct Case {
    std::set<std::string> files;
    std::optional<std::string> taken;
  };
  const Case cases[] = {
      {{}, std::nullopt},
      {{"/third/cert.pem"}, "/third/cert.pem"},
      {{"/second/bundle.pem", "/third/cert.pem"}, "/second/bundle.pem"},
      {{"/first/bundle.crt", "/second/bundle.pem"}, "/first/bundle.crt"},
      {{"/elsewhere/bundle.crt"}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<std::string> asked;
    const auto is_file = [&](const std::string& path) {
      asked.push_back(path);
      return c.files.count(path) > 0;
    };
    EXPECT_EQ(http::first_ca_bundle(kPlaces, is_file), c.taken);
    // Looked at in order, and no further than the one taken.
    const std::size_t expected_asks =
        c.taken ? static_cast<std::size_t>(std::find(kPlaces.begin(), kPlaces.end(), *c.taken) -
                                           kPlaces.begin()) +
                      1
                : kPlaces.size();
    ASSERT_EQ(asked.size(), expected_asks);
    for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i], kPlaces[i]);
  }
}

TEST(CaBundle, TheHintNamesThePlacesLookedAtOnlyWhenNoVariableNamesABundle) {
  const std::string variables =
      " (the certificate authorities trusted are those in the file SSL_CERT_FILE, else "
      "REQUESTS_CA_BUNDLE, else CURL_CA_BUNDLE, else the system's, and in the folder "
      "SSL_CERT_DIR";
  const std::string looked_at =
      "; no variable names a file, and the system's was looked for at /first/bundle.crt, "
      "/second/bundle.pem, /third/cert.pem: ";
  struct Case {
    bool variable;
    std::span<const std::string_view> places;
    std::optional<std::string> found;
    std::string hint;
  };
  const Case cases[] = {
      {true, kPlaces, "/second/bundle.pem", variables + ")"},
      {false, kPlaces, std::nullopt, variables + looked_at + "none found)"},
      {false, kPlaces, "/second/bundle.pem", variables + looked_at + "found /second/bundle.pem)"},
      {false, {}, std::nullopt, variables + ")"},  // the system's store (Windows)
  };
  for (const Case& c : cases)
    EXPECT_EQ(http::certificate_hint(c.variable, c.places, c.found), c.hint);
}

}  // namespace
