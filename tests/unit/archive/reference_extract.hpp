#pragma once
// A slow, plainly correct extraction for comparison (reference_extract.cpp).
#include <filesystem>
#include <string_view>

#include "keelbox/archive/extract.hpp"

namespace keelbox::reference {

// Unpacks the gzip-compressed tar `archive` directly into `destination`
// (created), under the same rules as extract_tar_gz() but without limits.
// Throws keelbox::ExtractionError.
void reference_extract(std::string_view archive, const std::filesystem::path& destination);

}  // namespace keelbox::reference
