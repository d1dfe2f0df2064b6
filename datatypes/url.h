// url! values: strings holding a URL; the percent encoding shared with file!.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"

namespace url {

// Whether an ASCII code stands unencoded in a URL (letters, digits and ! # $ & ' ( ) * + , - . /
// : = ? @ _ ~).
bool plain_q(uint32_t c);

// Percent-decodes UTF-8 bytes, appending the characters to a string buffer. A "%" triplet that
// starts a UTF-8 sequence decodes together with the triplets that complete it; a "%" that is no
// valid triplet (or sequence) stays a character. Malformed raw UTF-8 raises access invalid-utf8.
void decode(const uint8_t* bytes, size_t n, Node dest);

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace url
