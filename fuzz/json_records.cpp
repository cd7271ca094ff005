// The JSON answers of the cloud services and the cached values, into records:
// the entitlements answer, the package list's example keys, and every record
// built from a mapping.
#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "keelbox/examples/examples.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/models/models.hpp"
#include "keelbox/modules/catalogue.hpp"
#include "support.hpp"

namespace {

using keelbox::fuzz::broken;
using nlohmann::json;

void entitlements_answer(std::string_view answer) {
  try {
    for (const keelbox::KeelboxEntitlement& e : keelbox::_entitlements_from_answer(answer)) {
      // The cache stores each record as JSON and reads it back.
      keelbox::KeelboxEntitlement back;
      keelbox::from_json(e.to_json(), back);
      if (!(back == e)) broken("entitlement changed through its JSON form", e.to_json().dump());
    }
  } catch (const keelbox::ParseError&) {
  } catch (const keelbox::ValidationError&) {
  }
}

// A value read from the cache or an answer, as each record sees it.
void records_from_value(const json& value) {
  try {
    keelbox::examples_from_packages(value);
  } catch (const keelbox::ParseError&) {
  } catch (const keelbox::KeyError&) {
  }
  const auto each = [&](auto&& record) {
    if (value.is_array()) {
      for (const json& item : value) record(item);
    } else {
      record(value);
    }
  };
  each([](const json& item) {
    try {
      const keelbox::KeelboxPackage package = keelbox::KeelboxPackage::from_mapping(item);
      try {
        package.needs_update();
      } catch (const keelbox::InvalidVersionError&) {
      }
    } catch (const keelbox::ValidationError&) {
    }
  });
  each([](const json& item) {
    try {
      keelbox::KeelboxEntitlement e;
      keelbox::from_json(item, e);
    } catch (const keelbox::ValidationError&) {
    }
  });
  each([](const json& item) {
    try {
      const keelbox::KeelboxConfig conf = keelbox::KeelboxConfig::from_mapping(item);
      const keelbox::KeelboxConfig back =
          keelbox::KeelboxConfig::from_mapping(json::parse(conf.dump().dump()));
      if (!(back == conf)) broken("configuration changed through its dump", conf.dump().dump());
    } catch (const keelbox::ValidationError&) {
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = keelbox::fuzz::as_text(data, size);
  entitlements_answer(text);
  json value;
  try {
    value = json::parse(text);
  } catch (const json::exception&) {
    // Not JSON, or a number beyond the range of a double.
    return 0;
  }
  records_from_value(value);
  return 0;
}
