#include "datatypes/url.h"

#include <algorithm>
#include <climits>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace url {

HttpRequest request_http = nullptr;
UrlParser parse_url = nullptr;

bool plain_q(uint32_t c) {
    if (c >= 128) return false;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case '=': case '?': case '@': case '_': case '~': return true;
        default: return false;
    }
}

bool strict_plain_q(uint32_t c) {
    if (c >= 128) return false;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == '-' || c == '.' || c == '_' || c == '~';
}

static int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte of a "%" triplet at p, or -1.
static int triplet(const uint8_t* p, const uint8_t* end) {
    if (end - p < 3 || p[0] != '%') return -1;
    int h = hex_value(p[1]), l = hex_value(p[2]);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

static int lead_size(int b) {
    if ((b & 0xF0) == 0xF0) return 4;
    if ((b & 0xE0) == 0xE0) return 3;
    if ((b & 0xC0) == 0xC0) return 2;
    return 0;
}

// One UTF-8 character of n bytes; -1 when they do not form one. Surrogate codepoints are taken:
// strings may hold them and mold writes them as three escaped bytes, which must load back.
static int32_t decode_sequence(const uint8_t* b, int n) {
    static const uint32_t lead_mask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    static const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    uint32_t cp = b[0] & lead_mask[n];
    for (int k = 1; k < n; k++) {
        if ((b[k] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b[k] & 0x3F);
    }
    if (cp < minimum[n] || cp > 0x10FFFF) return -1;
    return static_cast<int32_t>(cp);
}

void decode(const uint8_t* bytes, size_t n, Node dest) {
    const uint8_t* p = bytes;
    const uint8_t* end = bytes + n;
    while (p < end) {
        int b = triplet(p, end);
        if (b >= 0) {
            int size = lead_size(b);
            if (size == 0) {
                string::append_char(dest, static_cast<uint32_t>(b));
                p += 3;
                continue;
            }
            uint8_t seq[4] = {static_cast<uint8_t>(b), 0, 0, 0};
            bool complete = true;
            for (int k = 1; k < size && complete; k++) {
                int next = triplet(p + 3 * k, end);
                if (next < 0)
                    complete = false;
                else
                    seq[k] = static_cast<uint8_t>(next);
            }
            int32_t cp = complete ? decode_sequence(seq, size) : -1;
            if (cp >= 0) {
                string::append_char(dest, static_cast<uint32_t>(cp));
                p += 3 * size;
                continue;
            }
        }
        // A raw character (a "%" that starts no valid triplet sequence included).
        const uint8_t* q = p + 1;
        while (q < end && (*q & 0xC0) == 0x80 && q - p < 4) q++;
        string::append_utf8(dest, reinterpret_cast<const char*>(p), size_t(q - p));
        p = q;
    }
}

bool decode_hex_pair(const uint8_t* p, const uint8_t* end, uint8_t* out) {
    int b = triplet(p, end);
    if (b < 0) return false;
    *out = static_cast<uint8_t>(b);
    return true;
}

Cell* load(const uint8_t* bytes, size_t n) {
    Node node = string::make_node(static_cast<int32_t>(n > 0 ? n : 1), 1);
    Cell* c = string::make_at(stack::push_cell(), node, 0, TYPE_URL);
    decode(bytes, n, node);
    return c;
}

Cell* push(const Cell* value) { return stack::push(value); }

// ---- Encoding ----

// Mold's own table: the URL table less the parentheses. The lexer ends a url! literal at "(" or
// ")", so left as they are they would cut the URL in two when the molded text is loaded again.
static constexpr int kMold = 253;

static bool stands_q(int selector, uint8_t b) {
    if (selector == kStrict) return strict_plain_q(b);
    if (selector == kMold && (b == '(' || b == ')')) return false;
    return plain_q(b);
}

const char* encode_char(int selector, const uint8_t* byte, int* count) {
    static char triple[4] = "%00";
    if (stands_q(selector, *byte)) {
        *count = 1;
        return reinterpret_cast<const char*>(byte);
    }
    static const char digits[] = "0123456789ABCDEF";
    triple[1] = digits[*byte >> 4];
    triple[2] = digits[*byte & 15];
    *count = 3;
    return triple;
}

// The encoded text of UTF-8 bytes; with a budget (not negative), encoding stops once that many
// characters are out.
static std::string encoded(const std::string& text, int selector, int64_t budget) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (budget >= 0 && int64_t(out.size()) >= budget) break;
        int n;
        const char* p = encode_char(selector, reinterpret_cast<const uint8_t*>(&ch), &n);
        out.append(p, size_t(n));
    }
    return out;
}

void encode(const Cell* text, Node dest, int selector) {
    std::string out = encoded(string::to_utf8(text), selector, -1);
    string::concatenate_literal_n(dest, out.data(), out.size());
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    std::string out = encoded(string::to_utf8(value), kMold, part ? std::max(limit, 0) : -1);
    string::concatenate_literal_n(buffer, out.data(), out.size());
    return static_cast<int>(std::max<int64_t>(int64_t(limit) - int64_t(out.size()), INT_MIN));
}

// ---- make and to ----

static void form_into(const Cell* value, Node buffer) {
    Cell v = *value;
    collector::Root keep(&v);
    actions::form(&v, buffer, nullptr, INT_MAX);
}

// scheme://host[:port][/path/parts#fragment] from the values of a block.
static Cell* build(Cell* proto, Cell* spec_in) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    int32_t n = block::rs_length_q(&spec);
    if (n == 0) {
        Cell t;
        datatype::make_at(&t, TYPE_URL);
        fire(err::script::bad_to_arg, &t, &spec);
    }
    Cell result;
    string::rs_make_at(&result, 16);
    collector::Root keep_result(&result);
    Node buf = result.node();
    auto item = [&](int32_t k) { return block::rs_head(&spec)[k]; };
    Cell v = item(0);
    form_into(&v, buf);
    string::concatenate_literal_n(buf, "://", 3);
    if (n > 1) {
        v = item(1);
        form_into(&v, buf);
    }
    int32_t k = 2;
    if (n > 2 && item(2).type() == TYPE_INTEGER) {
        string::append_char(buf, ':');
        v = item(2);
        form_into(&v, buf);
        k = 3;
    }
    if (k < n) {
        string::append_char(buf, '/');
        for (int32_t first = k; k < n; k++) {
            v = item(k);
            if (k > first) string::append_char(buf, v.type() == TYPE_ISSUE ? '#' : '/');
            form_into(&v, buf);
        }
    }
    result.set_type(TYPE_URL);
    *proto = result;
    return proto;
}

Cell* make(Cell* proto, Cell* spec, int type) {
    if (type == TYPE_URL && types::any_list(spec->type())) return build(proto, spec);
    return string::make(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, int type) {
    if (type == TYPE_URL && types::any_list(spec->type())) return build(proto, spec);
    return string::to(proto, spec, type);
}

// ---- Path access ----

Cell* eval_path(PathStep& step, Cell* out) {
    if (step.store) {
        Cell where = step.path ? *step.path : *step.value;
        Cell e = *step.element;
        fire(err::script::bad_path_set, &where, &e);
    }
    Cell parent = *step.value;
    collector::Root keep_parent(&parent);
    int32_t plen = string::rs_length_q(&parent);
    Cell result;
    string::make_at_unit(&result, plen + 16, string::text_unit(memory::nodes[parent.node()]));
    collector::Root keep_result(&result);
    form_into(step.element, result.node());
    bool parent_slash = plen > 0 && string::rs_abs_at(&parent, parent.index() + plen - 1) == '/';
    bool element_slash = string::rs_length_q(&result) > 0 && string::rs_abs_at(&result, 0) == '/';
    if (!parent_slash && !element_slash) string::insert_char(result.node(), 0, '/');
    int32_t take = parent_slash && element_slash ? plen - 1 : plen;
    if (take > 0) string::concatenate(&result, &parent, take, 0, true, string::CONCAT_INSERT);
    result.set_type(parent.type());
    *out = result;
    return out;
}

// ---- Ports ----

Cell* open_port(Cell* out, const Cell* url_in, bool new_, bool read_, bool write_, bool seek, const Cell* allow,
                bool open_) {
    Cell url = *url_in;
    collector::Root keep_url(&url);
    // Parsing the URL and making a port belong to the environment and the port module.
    if (!parse_url || !datatype::slot(TYPE_PORT, ACT_MAKE)) fire(err::internal::not_done);
    Cell spec;
    set_cell(&spec, TYPE_NONE);
    collector::Root keep_spec(&spec);
    parse_url(&spec, &url);
    if (spec.type() != TYPE_OBJECT) fire(err::script::invalid_arg, &url);
    Cell port;
    datatype::make_at(&port, TYPE_PORT);
    collector::Root keep_port(&port);
    actions::make(&port, &spec);
    if (open_) {
        Cell access;
        if (allow)
            access = *allow;
        else
            set_cell(&access, TYPE_NONE);
        collector::Root keep_access(&access);
        const Cell* args[2] = {&port, &access};
        int32_t refs[5] = {new_ ? 0 : -1, read_ ? 0 : -1, write_ ? 0 : -1, seek ? 0 : -1, allow ? 1 : -1};
        // The caller gets the port, whatever the actor's open answers.
        Cell answer;
        set_cell(&answer, TYPE_NONE);
        collector::Root keep_answer(&answer);
        actions::call(&answer, ACT_OPEN, args, 2, refs);
    }
    *out = port;
    return out;
}

// Runs a port action with the frame's arguments, the port taking the place of the URL.
static void on_port(int action, int nargs, const int32_t* refs, bool seek) {
    Cell* args = stack::arguments;
    Cell port;
    set_cell(&port, TYPE_NONE);
    collector::Root keep(&port);
    open_port(&port, args, false, false, false, seek, nullptr, false);
    const Cell* list[8];
    list[0] = &port;
    for (int i = 1; i < nargs; i++) list[i] = args + i;
    actions::call(args, action, list, nargs, refs);
    stack::keep();
}

// Whether the URL's text from its head begins with "http" (the secure form too).
static bool http_q(const Cell* value) { return string::match_literal_q(value, "http"); }

static void no_connect(const Cell* url) {
    Cell u = *url;
    fire(err::access::no_connect, &u);
}

void open(const int32_t* refs) {
    Cell* args = stack::arguments;
    open_port(args, args, refs[0] >= 0, refs[1] >= 0, refs[2] >= 0, refs[3] >= 0, refs[4] >= 0 ? args + refs[4] : nullptr,
              true);
    stack::keep();
}

void read(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (!http_q(args)) return on_port(ACT_READ, 4, refs, refs[1] >= 0);
    if (refs[0] >= 0 || refs[1] >= 0 || refs[5] >= 0) fire(err::internal::not_done);
    if (!request_http) fire(err::internal::not_done);
    Cell method;
    word::load(&method, "get");
    Cell result;
    set_cell(&result, TYPE_NONE);
    collector::Root keep(&result);
    request_http(&result, &method, args, nullptr, nullptr, refs[2] >= 0, refs[3] >= 0, refs[4] >= 0);
    if (result.type() == TYPE_NONE) no_connect(args);
    *args = result;
    stack::keep();
}

void write(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (!http_q(args)) return on_port(ACT_WRITE, 6, refs, refs[5] >= 0);
    if (refs[5] >= 0 || refs[6] >= 0 || refs[7] >= 0) fire(err::internal::not_done);
    // The data chooses the method, the headers and the body.
    Cell data = args[1];
    collector::Root keep_data(&data);
    Cell method, headers, body;
    set_cell(&headers, TYPE_NONE);
    set_cell(&body, TYPE_NONE);
    collector::Root keep_headers(&headers);
    collector::Root keep_body(&body);
    bool has_headers = false;
    if (data.type() == TYPE_BLOCK) {
        int32_t n = block::rs_length_q(&data);
        if (n == 0) {
            word::load(&method, "get");
            body = data;
        } else {
            method = block::rs_head(&data)[0];
            if (method.type() != TYPE_WORD) fire(err::script::invalid_arg, &method);
            if (n > 1) {
                headers = block::rs_head(&data)[1];
                if (headers.type() != TYPE_BLOCK) fire(err::script::invalid_arg, &headers);
                has_headers = true;
            }
            if (n > 2) body = block::rs_head(&data)[2];
        }
    } else {
        word::load(&method, "post");
        body = data;
    }
    uint8_t bt = body.type();
    if (bt != TYPE_NONE && bt != TYPE_BLOCK && bt != TYPE_STRING && bt != TYPE_BINARY) fire(err::script::invalid_arg, &body);
    if (!request_http) fire(err::internal::not_done);
    Cell result;
    set_cell(&result, TYPE_NONE);
    collector::Root keep(&result);
    request_http(&result, &method, args, has_headers ? &headers : nullptr, bt == TYPE_NONE ? nullptr : &body,
                 refs[0] >= 0, refs[1] >= 0, refs[2] >= 0);
    if (result.type() == TYPE_NONE) no_connect(args);
    *args = result;
    stack::keep();
}

void init() {
    datatype::Row row;
    row.inherit({ACT_FORM, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND,
                 ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE,
                 ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_MAKE, make)
        .set(ACT_TO, to)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_OPEN, open)
        .set(ACT_READ, read)
        .set(ACT_WRITE, write);
    datatype::register_row(TYPE_URL, TYPE_STRING, "url!", row);
}

}  // namespace url
