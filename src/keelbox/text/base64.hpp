#pragma once
// Base64 (RFC 4648, standard alphabet, padded), for the Basic credential.
//
// Written here rather than taken from a library: the tool needs it once per
// sign-in for a few dozen bytes, and the one OpenSSL call that did it made
// every start of the tool load and relocate libcrypto (several megabytes),
// even for `--version`.
#include <string>
#include <string_view>

namespace keelbox::text {

std::string base64_encode(std::string_view data);

}  // namespace keelbox::text
