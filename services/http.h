// HTTP requests: one synchronous exchange over libcurl, and the values made of its answer. The
// transfer works on plain C++ data; request_http builds that data from values and turns the
// answer into a string, lines, a binary or the [status headers body] block.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/cell.h"

namespace simple_io {

struct HttpExchange {
    // What is sent.
    std::string method;  // "GET", "HEAD", "POST" or any other upper-case method
    std::string url;     // the URL's text, UTF-8; bytes that may not stand in a URL are escaped
    std::vector<std::pair<std::string, std::string>> headers;  // in the order they are sent
    bool has_body = false;
    std::string body;
    // What came back.
    long status = 0;
    std::string header_text;  // the final response's header lines, each ended by CR LF
    std::string response;     // the body bytes
    std::string failure;      // what went wrong when the transfer failed
    bool out_of_memory = false;  // the answer did not fit in memory (raised after the transfer)
};

// The method text of a method word: get, head and post by name, any other word upper-cased.
std::string method_text(const Cell* method);

// Carries out the exchange (redirects followed). False when no answer came: the URL is
// malformed or of another protocol, the connection failed or timed out, or the body grew past
// what a binary! can hold. An HTTP error status is an answer. Throws std::bad_alloc when the
// answer does not fit in memory.
bool http_transfer(HttpExchange& exchange);

// The map! of a header text ("Name: value" lines ended by CR LF): each name as a word key, its
// value as a string!; a name that comes again gets a block! of its values in arrival order.
void parse_headers(const std::string& text, Cell* out);

// One request: method word, URL, header block (null: the default headers), body (null: none)
// and the result flags. Answers out: the body as a binary! (binary), a block of lines (lines)
// or a string!; with info a block of the status, the header map and the body; none! when the
// transfer failed.
Cell* request_http(Cell* out, const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary,
                   bool lines, bool info);

// Sets up the HTTP library and hands request_http to the url! actions.
void init_http();

}  // namespace simple_io
