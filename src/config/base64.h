// Base64 of the stored secret (RFC 4648 standard alphabet).
//
// Written by hand: the stored text must be padded and on one line, and the
// reader must accept anything without failing (it skips every character
// outside the alphabet, "=" included, wherever it stands, and turns a
// trailing group of 2 or 3 characters into 1 or 2 bytes). No library at
// hand decodes by exactly these rules; the code is a few lines.
#pragma once

#include <string>
#include <string_view>

namespace tolvenar {

// One line, padded with "=" to a multiple of four characters, no blanks.
std::string Base64Encode(std::string_view bytes);

// Lenient: skips every character that is not one of the 64 alphabet
// characters; each 4 alphabet characters give 3 bytes; a trailing 2 give 1
// byte and a trailing 3 give 2 (surplus bits dropped); a trailing single
// character gives nothing. Never fails.
std::string Base64DecodeLenient(std::string_view text);

}  // namespace tolvenar
