// url! values: strings holding a URL; the percent encoding shared with file!. url! builds URLs
// from blocks, joins path elements onto URLs (and, for its child file!, onto paths), and reads,
// writes and opens URLs: "http" ones through the HTTP request service, every other scheme
// through a port made from the parsed URL.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace url {

// Encoding table selectors: the strict one leaves only letters, digits and - . _ ~ unencoded;
// any other selector means the URL table.
constexpr int kStrict = 254;
constexpr int kUrl = 255;

// Whether an ASCII code stands unencoded in a URL (letters, digits and ! # $ & ' ( ) * + , - . /
// : = ? @ _ ~).
bool plain_q(uint32_t c);
// Whether an ASCII code stands unencoded under the strict table.
bool strict_plain_q(uint32_t c);

// Appends the UTF-8 bytes of a string value (from its head) to dest, each either unchanged or as
// "%" and two upper-case hexadecimal digits; a byte from 128 up is always encoded.
void encode(const Cell* text, Node dest, int selector);
// The bytes that stand for one byte: the byte itself (count 1) or a shared "%XY" buffer (count
// 3) that the next call overwrites.
const char* encode_char(int selector, const uint8_t* byte, int* count);

// Percent-decodes UTF-8 bytes, appending the characters to a string buffer. A "%" triplet that
// starts a UTF-8 sequence decodes together with the triplets that complete it; a "%" that is no
// valid triplet (or sequence) stays a character. Malformed raw UTF-8 raises access invalid-utf8.
void decode(const uint8_t* bytes, size_t n, Node dest);
// Whether the bytes from p (up to end) are "%" and two hexadecimal digits; *out gets the byte.
bool decode_hex_pair(const uint8_t* p, const uint8_t* end, uint8_t* out);
// Pushes the url! whose text is the percent-decoded UTF-8 bytes.
Cell* load(const uint8_t* bytes, size_t n);
Cell* push(const Cell* value);

// make and to: a url! from a block!, paren! or hash! of scheme, host, optional port number and
// path parts; every other case is string!'s.
Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
// Reading answers the value joined with the formed element by one "/", of the value's own type;
// setting raises bad-path-set.
Cell* eval_path(PathStep& step, Cell* out);

// A port for the URL, made from the environment's parse of it and, with open_, opened with the
// given refinements (allow is null when absent). Answers out.
Cell* open_port(Cell* out, const Cell* url, bool new_, bool read, bool write, bool seek, const Cell* allow, bool open_);

// The actions (frame convention of datatypes/datatype.h).
void open(const int32_t* refs);   // /new /read /write /seek /allow
void read(const int32_t* refs);   // /part /seek /binary /lines /info /as
void write(const int32_t* refs);  // /binary /lines /info /append /part /seek /allow /as

// Services registered by the modules that provide them; while one is missing, the URLs that
// need it raise internal not-done.
// The HTTP request: a method word, the URL, a header block or null, the body or null, and the
// binary, lines and info flags; the answer goes into out, a none! when the request failed.
using HttpRequest = Cell* (*)(Cell* out, const Cell* method, const Cell* url, const Cell* headers, const Cell* data,
                              bool binary, bool lines, bool info);
extern HttpRequest request_http;
// The environment's URL parser: an object! of the URL's parts, or any other value when it
// cannot be parsed.
using UrlParser = Cell* (*)(Cell* out, const Cell* url);
extern UrlParser parse_url;

// Registers url! (type 9, parent string!).
void init();

}  // namespace url
