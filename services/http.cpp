#include "services/http.h"

// The library is loaded on the first request (below); its header gives only the types and
// constants, so the macros that check option types at compile time are left out.
#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>
#include <dlfcn.h>
#include <strings.h>

#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "services/files.h"

namespace simple_io {

namespace {

// libcurl and the thirty libraries it needs would add tens of milliseconds to every start of
// the console, which most sessions never repay: the library is opened at the first request.
struct CurlApi {
    bool tried = false;
    bool ready = false;
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    void (*easy_cleanup)(CURL*);
    const char* (*easy_strerror)(CURLcode);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
};

template <class F>
bool bind(void* lib, const char* name, F*& fn) {
    fn = reinterpret_cast<F*>(dlsym(lib, name));
    return fn != nullptr;
}

const CurlApi& curl_api() {
    static CurlApi api;
    if (api.tried) return api;
    api.tried = true;
    void* lib = nullptr;
    for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4", "libcurl.so"})
        if ((lib = dlopen(name, RTLD_NOW | RTLD_LOCAL))) break;
    if (!lib) return api;
    api.ready = bind(lib, "curl_global_init", api.global_init) && bind(lib, "curl_easy_init", api.easy_init) &&
                bind(lib, "curl_easy_setopt", api.easy_setopt) && bind(lib, "curl_easy_perform", api.easy_perform) &&
                bind(lib, "curl_easy_getinfo", api.easy_getinfo) && bind(lib, "curl_easy_cleanup", api.easy_cleanup) &&
                bind(lib, "curl_easy_strerror", api.easy_strerror) &&
                bind(lib, "curl_slist_append", api.slist_append) && bind(lib, "curl_slist_free_all", api.slist_free_all);
    if (api.ready) api.ready = api.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return api;
}

// A binary! or string! cannot hold more; a longer body ends the transfer as a failure.
constexpr size_t kMaxBody = static_cast<size_t>(std::numeric_limits<int32_t>::max()) - 64;

// Headers sent when the request names none, in this order.
constexpr const char* kDefaultHeaders[3][2] = {
    {"Content-Type", "application/x-www-form-urlencoded"},
    {"Accept-Charset", "UTF-8"},
    {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"},
};

// Bytes that never stand in a URL as they are: controls, space, non-ASCII bytes and the
// characters a URL must escape. Everything else, "%" included, is sent as written.
bool escape_in_url_q(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F) return true;
    return std::strchr("\"<>\\^`{|}", c) != nullptr;
}

std::string url_text(const Cell* url) {
    std::string raw = string::to_utf8(url);
    std::string out;
    out.reserve(raw.size());
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : raw) {
        if (escape_in_url_q(c)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A header name or value: a word's spelling, a string's text, any other value formed.
std::string header_text_of(const Cell* value, bool name) {
    if (name && value->type() >= TYPE_WORD && value->type() <= TYPE_GET_WORD) return std::string(symbol::text(static_cast<int32_t>(value->data2)));
    if (!name && value->type() == TYPE_STRING) return string::to_utf8(value);
    Cell text;
    set_cell(&text, TYPE_NONE);
    collector::Root keep(&text);
    actions::form_new(&text, value);
    return string::to_utf8(&text);
}

// The library's callbacks are C: no exception may pass through them. Memory refused while a
// part is kept ends the transfer (answering 0 does), and http_transfer raises it once the
// library has returned.
bool keep(std::string& to, std::string_view part, HttpExchange* ex) {
    try {
        to.append(part);
        return true;
    } catch (const std::bad_alloc&) {
        ex->out_of_memory = true;
        return false;
    }
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* ex = static_cast<HttpExchange*>(user);
    size_t n = size * count;
    if (ex->response.size() + n > kMaxBody) {
        ex->failure = "response too large";
        return 0;  // ends the transfer
    }
    return keep(ex->response, std::string_view(data, n), ex) ? n : 0;
}

// Collects the header lines of the last response: a status line starts a new response (an
// interim 1xx one, or the next one after a redirect) and is not kept, nor is the empty line
// that ends the headers.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* ex = static_cast<HttpExchange*>(user);
    size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        ex->header_text.clear();
        return n;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) return n;
    if (ex->header_text.size() + line.size() > kMaxBody) return 0;
    return keep(ex->header_text, line, ex) && keep(ex->header_text, "\r\n", ex) ? n : 0;
}

// Whether a header can be sent as given: a name that is a token (letters, digits and
// !#$%&'*+-.^_`|~) and a value without line breaks or NUL. The platform's request object refuses
// any other header, which is not an error of the request; sent as written, it would break the
// request apart, and the server would see neither that header nor the body.
bool name_sendable_q(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c))))
            return false;
    return true;
}
bool value_sendable_q(const std::string& s) { return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos; }

struct CurlHandle {
    const CurlApi& api;
    CURL* curl = nullptr;
    curl_slist* list = nullptr;
    explicit CurlHandle(const CurlApi& a) : api(a), curl(a.easy_init()) {}
    ~CurlHandle() {
        if (list) api.slist_free_all(list);
        if (curl) api.easy_cleanup(curl);
    }
    bool add(const std::string& line) {
        curl_slist* next = api.slist_append(list, line.c_str());
        if (!next) return false;
        list = next;
        return true;
    }
};

}  // namespace

std::string method_text(const Cell* method) {
    std::string text(symbol::text(static_cast<int32_t>(method->data2)));
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool http_transfer(HttpExchange& ex) {
    const CurlApi& api = curl_api();
    if (!api.ready) {
        ex.failure = "no HTTP library (libcurl.so.4)";
        return false;
    }
    CurlHandle h(api);
    if (!h.curl) {
        ex.failure = "no HTTP session";
        return false;
    }
    CURL* c = h.curl;
    char error_text[CURL_ERROR_SIZE] = {0};
    api.easy_setopt(c, CURLOPT_ERRORBUFFER, error_text);
    api.easy_setopt(c, CURLOPT_URL, ex.url.c_str());
    api.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    api.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    api.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    api.easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api.easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 60L);
    // Like the platform's receive timeout: a transfer that stalls for 30 seconds fails.
    api.easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    api.easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 30L);
    api.easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    api.easy_setopt(c, CURLOPT_WRITEDATA, &ex);
    api.easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    api.easy_setopt(c, CURLOPT_HEADERDATA, &ex);

    if (ex.method == "GET") {
        api.easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (ex.method == "HEAD") {
        api.easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
        // Every other method carries the body, an empty one when there is none for POST.
        if (ex.has_body || ex.method == "POST") {
            api.easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ex.body.size()));
            api.easy_setopt(c, CURLOPT_POSTFIELDS, ex.body.data());
        }
        if (ex.method != "POST") api.easy_setopt(c, CURLOPT_CUSTOMREQUEST, ex.method.c_str());
    }

    // Only the headers asked for: the library adds none of the ones it would on its own for a
    // body (a content type, a wait for "100 Continue").
    bool has_type = false;
    for (auto& [name, value] : ex.headers) {
        if (!name_sendable_q(name) || !value_sendable_q(value)) continue;
        if (strcasecmp(name.c_str(), "Content-Type") == 0) has_type = true;
        // "Name;" is how the library sends a header with an empty value.
        if (!h.add(value.empty() ? name + ";" : name + ": " + value)) return false;
    }
    if (!has_type && !h.add("Content-Type:")) return false;
    if (!h.add("Expect:")) return false;
    api.easy_setopt(c, CURLOPT_HTTPHEADER, h.list);

    CURLcode rc = api.easy_perform(c);
    if (ex.out_of_memory) throw std::bad_alloc();
    if (rc != CURLE_OK) {
        if (ex.failure.empty()) ex.failure = error_text[0] ? error_text : api.easy_strerror(rc);
        return false;
    }
    api.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &ex.status);
    return true;
}

void parse_headers(const std::string& text, Cell* out) {
    map::make_new(out, 20);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\r', pos);
        if (end == std::string::npos) end = text.size();
        size_t colon = text.find(':', pos);
        if (colon != std::string::npos && colon < end && colon > pos) {
            size_t from = colon + 1;
            while (from < end && (text[from] == ' ' || text[from] == '\t')) from++;
            Cell key, value;
            set_cell(&value, TYPE_NONE);
            collector::Root keep_value(&value);
            // A name that is not UTF-8 text raises invalid-utf8 as a value does, before a word
            // (whose text every later form or mold would trip over) is made of it.
            std::string_view name = std::string_view(text).substr(pos, colon - pos);
            string::load_at(&value, name);
            word::load(&key, name);
            string::load_at(&value, std::string_view(text).substr(from, end - from));
            Cell* old = map::select_value(out, &key, COMP_EQUAL);
            if (!old) {
                map::put_value(out, &key, &value, false);
            } else if (old->type() == TYPE_BLOCK) {
                Node list = old->node();
                block::append_cell(list, &value);
            } else {
                Cell first = *old, list;
                collector::Root keep_first(&first);
                block::make_new(&list, 4);
                collector::Root keep_list(&list);
                block::append_cell(list.node(), &first);
                block::append_cell(list.node(), &value);
                map::put_value(out, &key, &list, false);
            }
        }
        pos = end;
        if (pos < text.size() && text[pos] == '\r') pos++;
        if (pos < text.size() && text[pos] == '\n') pos++;
    }
}

Cell* request_http(Cell* out, const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary,
                   bool lines, bool info) {
    HttpExchange ex;
    ex.method = method_text(method);
    ex.url = url_text(url);
    if (data && ex.method != "GET" && ex.method != "HEAD") {
        ex.has_body = true;
        if (data->type() == TYPE_BINARY)
            ex.body.assign(reinterpret_cast<const char*>(binary::rs_head(data)), static_cast<size_t>(binary::rs_length_q(data)));
        else
            ex.body = header_text_of(data, false);
    }
    if (headers) {
        Cell list = *headers;
        collector::Root keep(&list);
        for (int32_t i = 0; i + 1 < block::rs_length_q(&list); i += 2) {
            Cell name = block::rs_head(&list)[i], value = block::rs_head(&list)[i + 1];
            collector::Root keep_name(&name), keep_value(&value);
            std::string n = header_text_of(&name, true);
            ex.headers.emplace_back(std::move(n), header_text_of(&value, false));
        }
    } else {
        for (auto& h : kDefaultHeaders) ex.headers.emplace_back(h[0], h[1]);
    }

    if (!http_transfer(ex)) {
        set_cell(out, TYPE_NONE);
        return out;
    }

    Cell result, body;
    set_cell(&result, TYPE_NONE);
    set_cell(&body, TYPE_NONE);
    collector::Root keep_result(&result), keep_body(&body);
    if (info) {
        block::make_new(&result, 3);
        Cell status, map_cell;
        set_cell(&status, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(ex.status)));
        block::append_cell(result.node(), &status);
        set_cell(&map_cell, TYPE_NONE);
        collector::Root keep_map(&map_cell);
        parse_headers(ex.header_text, &map_cell);
        block::append_cell(result.node(), &map_cell);
    }
    auto bytes = reinterpret_cast<const uint8_t*>(ex.response.data());
    if (binary)
        binary::load_at(&body, bytes, ex.response.size());
    else if (lines)
        lines_to_block(bytes, ex.response.size(), &body);
    else
        bytes_to_string(bytes, ex.response.size(), &body);
    if (info) {
        block::append_cell(result.node(), &body);
        *out = result;
    } else {
        *out = body;
    }
    return out;
}

void init_http() {
    url::request_http = request_http;
}

}  // namespace simple_io
