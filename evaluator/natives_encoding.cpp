#include "evaluator/natives_encoding.h"

#include <algorithm>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/binary_codecs.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "loading/deflate.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/print.h"
#include "runtime/stack.h"
#include "services/checksum.h"
#include "services/files.h"

namespace natives {

enum : int {
    N_DEHEX = 47,
    N_ENHEX,
    N_TO_HEX = 54,
    N_DEBASE = 84,
    N_CHECKSUM = 87,
    N_ENBASE = 91,
    N_COMPRESS = 103,
    N_DECOMPRESS,
};

// ---- URL escapes ----

void dehex(int check, const int32_t* refs) {
    if (check) check_args(N_DEHEX, refs);
    Cell* args = stack::arguments;
    std::string text = string::to_utf8(args);
    Node out = string::make_node(static_cast<int32_t>(text.size() > 0 ? text.size() : 1));
    Cell* held = stack::push_cell();
    string::make_at(held, out);
    url::decode(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
    *args = *held;
    stack::keep();
}

void enhex(int check, const int32_t* refs) {
    if (check) check_args(N_ENHEX, refs);
    Cell* args = stack::arguments;
    Node out = string::make_node(std::max(string::rs_length_q(args), 1));
    Cell* held = stack::push_cell();
    string::make_at(held, out);
    // A string! escapes everything but letters, digits and - . _ ~; the other text types keep
    // the characters that stand in a URL.
    url::encode(args, out, args->type() == TYPE_STRING ? url::kStrict : url::kUrl);
    *args = *held;
    stack::keep();
}

// ---- to-hex ----

void to_hex(int check, const int32_t* refs) {
    if (check) check_args(N_TO_HEX, refs);
    Cell* args = stack::arguments;
    std::string digits = string::to_hex(args->i1(), false);
    if (refs[0] >= 0) {
        int32_t length = args[refs[0]].i1();
        if (length <= 0) {
            Cell v = args[refs[0]];
            fire(err::script::invalid_arg, &v);
        }
        if (length < 8) digits = digits.substr(8 - static_cast<size_t>(length));
    }
    word::load_typed(args, digits, TYPE_ISSUE);
    stack::keep();
}

// ---- Base encodings ----

void debase(int check, const int32_t* refs) {
    if (check) check_args(N_DEBASE, refs);
    Cell* args = stack::arguments;
    int32_t base = refs[0] >= 0 ? args[refs[0]].i1() : 64;
    Node (*decode)(const uint8_t*, int32_t, uint32_t);
    switch (base) {
        case 64: decode = binary::decode_64; break;
        case 58: decode = binary::decode_58; break;
        case 16: decode = binary::decode_16; break;
        case 2: decode = binary::decode_2; break;
        default: {
            Cell v = args[refs[0]];
            fire(err::script::invalid_arg, &v);
        }
    }
    int32_t length = string::rs_length_q(args);
    SeriesBuf* s = memory::nodes[args->node()];
    int32_t head = args->index() > 0 ? args->index() : 0;
    Node bytes = decode(s->at_head() + size_t(head) * s->unit(), length, s->unit());
    if (!bytes) return set_none();
    set_cell(args, TYPE_BINARY, 0, bytes);
    stack::keep();
}

// n * a, checked against the signed 32-bit range.
static int64_t checked(int64_t v) {
    if (v > 0x7FFFFFFF) fire(err::script::too_long);
    return v;
}

void enbase(int check, const int32_t* refs) {
    if (check) check_args(N_ENBASE, refs);
    Cell* args = stack::arguments;
    int32_t base = refs[0] >= 0 ? args[refs[0]].i1() : 64;
    if (base != 64 && base != 58 && base != 16 && base != 2) {
        Cell v = args[refs[0]];
        fire(err::script::invalid_arg, &v);
    }
    std::string utf8;
    bool from_string = args->type() != TYPE_BINARY;
    int64_t n;
    if (from_string) {
        utf8 = string::to_utf8(args);
        n = static_cast<int64_t>(utf8.size());
    } else {
        SeriesBuf* s = memory::nodes[args->node()];
        int64_t head = args->index() > 0 ? args->index() : 0;
        n = int64_t(s->used_bytes()) - head;
        if (n < 0) n = 0;
    }
    int64_t room;
    switch (base) {
        case 64: room = checked(checked(4 * (n / 3)) + (4 * (n % 3)) / 3 + checked(2 * (n / 32)) + 5); break;
        case 58: room = checked(2 * n); break;
        case 16: room = checked(checked(2 * n) + n / 32 + 32); break;
        default: room = checked(checked(8 * n) + 2 * (n / 8) + 4); break;
    }
    room = checked(room);
    Node out = memory::alloc_bytes(static_cast<int32_t>(room > 0 ? room : 1));
    const uint8_t* source;
    if (from_string) {
        source = reinterpret_cast<const uint8_t*>(utf8.data());
    } else {
        SeriesBuf* s = memory::nodes[args->node()];
        source = s->at_head() + (args->index() > 0 ? args->index() : 0);
    }
    SeriesBuf* d = memory::nodes[out];
    uint8_t* start = d->at_head();
    uint8_t* end;
    switch (base) {
        case 64: end = binary::encode_64(start, source, size_t(n)); break;
        case 58: end = binary::encode_58(start, source, size_t(n)); break;
        case 16: end = binary::encode_16(start, source, size_t(n)); break;
        default: end = binary::encode_2(start, source, size_t(n)); break;
    }
    d->tail = d->head + static_cast<uint32_t>(end - start);
    string::make_at(args, out);
    stack::keep();
}

// ---- Checksums and digests ----

static const symbol::Known sym_with("with");

// Hands the bytes of a binary! (from its head) or the UTF-8 bytes of a string! (from its head)
// to sink in pieces. Nothing here allocates, so the sink may hash straight out of the buffer; a
// string's wide characters are encoded a piece at a time into a local buffer.
template <class Sink>
static void feed_bytes(const Cell* data, Sink&& sink) {
    if (data->type() == TYPE_BINARY) {
        sink(binary::rs_head(data), size_t(binary::rs_length_q(data)));
        return;
    }
    int32_t n = string::rs_length_q(data);
    if (n <= 0) return;
    SeriesBuf* s = memory::nodes[data->node()];
    uint32_t unit = string::text_unit(s);
    const uint8_t* p = s->at_head() + size_t(data->index() > 0 ? data->index() : 0) * unit;
    const uint8_t* end = p + size_t(n) * unit;
    uint8_t out[4096];
    size_t fill = 0;
    while (p < end) {
        if (unit == 1) {
            // Runs of ASCII are their own UTF-8.
            const uint8_t* run = p;
            while (p < end && *p < 0x80) p++;
            if (p > run) {
                if (fill) sink(out, fill), fill = 0;
                sink(run, size_t(p - run));
                continue;
            }
        }
        if (fill > sizeof out - 4) sink(out, fill), fill = 0;
        fill += size_t(unicode::cp_to_utf8(string::get_char(p, unit), out + fill));
        p += unit;
    }
    if (fill) sink(out, fill);
}

[[noreturn]] static void fire_with(const Cell* arg) {
    Cell w, v = *arg;
    word::make_global(&w, sym_with, TYPE_REFINEMENT);
    fire(err::script::invalid_refine_arg, &w, &v);
}

void checksum(int check, const int32_t* refs) {
    if (check) check_args(N_CHECKSUM, refs);
    Cell* args = stack::arguments;
    Cell* data = args;
    if (data->type() == TYPE_FILE) simple_io::read(data, data, -1, -1, true, false);
    if (data->type() != TYPE_BINARY && data->type() != TYPE_STRING) {
        Cell v = *data;
        fire(err::script::invalid_arg, &v);
    }
    const Cell* word = args + 1;
    checksum::Method method = checksum::method_of(word);
    if (method == checksum::kNone) {
        Cell v = *word;
        fire(err::script::invalid_arg, &v);
    }
    bool plain_sum = method == checksum::kCrc32 || method == checksum::kTcp || method == checksum::kAdler32;
    const Cell* with = refs[0] >= 0 ? args + refs[0] : nullptr;
    if (with && plain_sum) fire_with(word);

    if (!with) {
        if (method == checksum::kHash) fire_with(word);
        if (plain_sum) {
            uint32_t sum = 0;
            if (method == checksum::kCrc32) {
                feed_bytes(data, [&](const uint8_t* p, size_t n) { sum = checksum::crc32(p, n, sum); });
            } else if (method == checksum::kAdler32) {
                sum = 1;
                feed_bytes(data, [&](const uint8_t* p, size_t n) { sum = checksum::adler32(p, n, sum); });
            } else {
                checksum::Tcp tcp;
                feed_bytes(data, [&](const uint8_t* p, size_t n) { tcp.update(p, n); });
                sum = tcp.result();
            }
            return set_integer(static_cast<int32_t>(sum));
        }
        uint8_t out[checksum::kMaxDigest];
        checksum::Hasher h(method);
        feed_bytes(data, [&](const uint8_t* p, size_t n) { h.update(p, n); });
        h.finish(out);
        binary::load_at(args, out, size_t(h.size()));
        return stack::keep();
    }

    if (with->type() == TYPE_INTEGER) {
        // Hash-table sizes have no algorithm yet.
        print_line({Typed::text("** /hash support not yet implemented; algorithm TBD.")});
        return set_integer(0);
    }
    // Only a string! or binary! is a key; the other text types are refused like any other value.
    if (with->type() != TYPE_BINARY && with->type() != TYPE_STRING) {
        Cell v = *with;
        fire(err::script::invalid_arg, &v);
    }
    if (method == checksum::kHash) fire_with(with);
    std::string key;
    if (with->type() == TYPE_BINARY) {
        key.assign(reinterpret_cast<const char*>(binary::rs_head(with)), size_t(binary::rs_length_q(with)));
    } else {
        key = string::to_utf8(with);
    }
    uint8_t out[checksum::kMaxDigest];
    checksum::Hmac h(method, reinterpret_cast<const uint8_t*>(key.data()), key.size());
    feed_bytes(data, [&](const uint8_t* p, size_t n) { h.update(p, n); });
    h.finish(out);
    binary::load_at(args, out, size_t(h.size()));
    stack::keep();
}

// ---- Compression ----

namespace {

const symbol::Known kZlib("zlib"), kDeflate("deflate"), kGzip("gzip");

using Codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

Codec pick(const Cell* method, Codec zlib, Codec deflate, Codec gzip) {
    if (kZlib.is(method)) return zlib;
    if (kDeflate.is(method)) return deflate;
    if (kGzip.is(method)) return gzip;
    Cell v = *method;
    fire(err::script::invalid_arg, &v);
}

// The input bytes: a binary! from its position (valid until the next allocation), any other
// value as the UTF-8 text already made of it.
const uint8_t* input_bytes(const Cell* value, const std::string& utf8, size_t& n) {
    if (value->type() != TYPE_BINARY) {
        n = utf8.size();
        return reinterpret_cast<const uint8_t*>(utf8.data());
    }
    n = static_cast<size_t>(binary::rs_length_q(value));
    return binary::rs_head(value);
}

int32_t room_of(size_t n) {
    if (n > 0x7FFFFFFF) fire(err::script::too_long);
    return static_cast<int32_t>(n);
}

// Runs a codec into a new binary! of the given room, retrying once with the room it asks for;
// the binary becomes the result. The input is fetched again after each allocation, since the
// allocation may move the argument's buffer.
void code_into_result(Codec codec, size_t room, const std::string& utf8) {
    Cell* args = stack::arguments;
    Cell* held = set_cell(stack::push_cell(), TYPE_NONE);  // marked while its binary is made
    int r = compress::kShort;
    size_t len = 0;
    for (int attempt = 0; attempt < 2 && r == compress::kShort; attempt++) {
        binary::make_at(held, room_of(room));
        SeriesBuf* out = memory::nodes[held->node()];
        size_t n;
        const uint8_t* in = input_bytes(args, utf8, n);
        len = std::min<size_t>(room, out->capacity - out->head);
        r = codec(len ? out->at_head() : nullptr, &len, in, n);
        room = len;
    }
    if (r != compress::kOk) fire(err::script::invalid_data);
    SeriesBuf* out = memory::nodes[held->node()];
    out->tail = out->head + static_cast<uint32_t>(len);
    *args = *held;
    stack::keep();
}

}  // namespace

void compress(int check, const int32_t* refs) {
    if (check) check_args(N_COMPRESS, refs);
    Cell* args = stack::arguments;
    Codec codec = pick(args + 1, compress::zlib, compress::deflate, compress::gzip);
    std::string utf8;
    if (args->type() != TYPE_BINARY) utf8 = string::to_utf8(args);
    size_t n;
    input_bytes(args, utf8, n);
    code_into_result(codec, n + 32, utf8);
}

void decompress(int check, const int32_t* refs) {
    if (check) check_args(N_DECOMPRESS, refs);
    Cell* args = stack::arguments;
    Codec codec = pick(args + 1, compress::unzlib, compress::inflate, compress::gunzip);
    int64_t size = 0;
    if (refs[0] >= 0) {
        size = args[refs[0]].i1();
        if (size < 0) {
            Cell v = args[refs[0]];
            fire(err::script::invalid_arg, &v);
        }
    }
    std::string none;
    size_t n;
    input_bytes(args, none, n);
    // DEFLATE gives at most 258 bytes for a 2-bit code (under 1032 per input byte), so room past
    // that bound would never be used.
    uint64_t most = uint64_t(n) * 1032 + 258;
    // Without a size that can hold the data, the first pass goes into room for a usual ratio
    // (and no more than 64 MiB past the input's size, so that little is claimed in vain); a pass
    // that runs short still measures, and the second gets the room measured. gzip's trailer
    // size is not used for this: it is only trusted once the data has been inflated.
    bool guessed = false;
    if (codec == compress::gunzip || static_cast<uint64_t>(size) <= n) {
        size = static_cast<int64_t>(std::min<uint64_t>({uint64_t(n) * 4 + 65536, uint64_t(n) + (64u << 20), 0x7FFFFFFF}));
        guessed = true;
    }
    if (static_cast<uint64_t>(size) > most) size = static_cast<int64_t>(most);
    code_into_result(codec, static_cast<size_t>(size), none);
    // Room the guess left over is given back, so that the result holds no more than it did when
    // a pass measured first.
    SeriesBuf* out = memory::nodes[args->node()];
    if (guessed && out->capacity - out->tail > 4096)
        memory::expand_series(args->node(), std::max<uint32_t>(out->tail - out->head, 16));
}

}  // namespace natives
