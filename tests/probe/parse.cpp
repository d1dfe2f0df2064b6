// Line-driven driver of the parse engine for the differential tests in tests/py/.
// Each input line is one command and answers one line:
//   match MODE RULES INPUT   MODE 0 (ignoring case) or 2; RULES and INPUT are UTF-8 text in
//                            hexadecimal ("-" when empty): RULES is Kel source evaluated for the
//                            rule block (so it may set words first), INPUT the characters of a
//                            string!  -> true | false | block | err CATEGORY ID ARG1-TYPE
//   value MODE RULES INPUT   the same with INPUT as Kel source whose first value is the input
//   time MODE RULES INPUT N  parses N times and answers the seconds taken per parse
// Without the lexer every command answers "nolexer".
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "evaluator/interpreter.h"
#include "evaluator/parse.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

#if __has_include("loading/lexer.h")
#include "loading/lexer.h"
#define PROBE_HAS_LEXER 1
#endif

namespace {

#ifdef PROBE_HAS_LEXER
std::string from_hex(const std::string& s) {
    std::string out;
    if (s == "-") return out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<char>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

// Runs f under a try frame; answers the error's "err CATEGORY ID", or "" when none was raised.
template <class F>
std::string guarded(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    uint32_t code = catch_frame(codes::error, [&] { f(); });
    stack::restore(saved);
    runtime::sys.thrown = 0;
    if (code != codes::error) return "";
    Cell e = stack::pending_error;
    ErrorId id = error::id_of(&e);
    const Cell* arg = error::field(&e, error::FIELD_ARG1);
    return "err " + std::to_string(id.category) + " " + std::to_string(id.index) + " " +
           std::to_string(arg ? arg->type() : 0);
}

std::string run(const std::string& line) {
    std::istringstream in(line);
    std::string command, rules_hex, input_hex;
    int mode = 0;
    long repeat = 1;
    in >> command >> mode >> rules_hex >> input_hex;
    if (command == "time") in >> repeat;
    if (command != "match" && command != "time" && command != "value") return "bad command";
    Cell rules, input, out;
    set_cell(&rules, TYPE_NONE);
    set_cell(&input, TYPE_NONE);
    set_cell(&out, TYPE_NONE);
    collector::Root keep_rules(&rules), keep_input(&input), keep_out(&out);
    double seconds = 0;
    std::string error = guarded([&] {
        lexer::load(&rules, from_hex(rules_hex));
        stack::Saved before = stack::save();
        interpreter::eval_block(&rules, false);
        rules = *(stack::top - 1);
        stack::restore(before);
        if (rules.type() != TYPE_BLOCK) block::make_new(&rules, 1);
        if (command == "value")
            lexer::load_one(&input, from_hex(input_hex));
        else
            string::load_at(&input, from_hex(input_hex));
        uint8_t t = input.type();
        if (!types::any_block(t) && !types::any_string(t) && t != TYPE_BINARY) string::load_at(&input, "");
        auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < repeat; i++) parse::process(&out, &input, &rules, mode, -1, nullptr);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / double(repeat);
    });
    if (!error.empty()) return error;
    if (command == "time") {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.9f %s", seconds, out.type() == TYPE_LOGIC && out.data1 ? "true" : "false");
        return buffer;
    }
    if (out.type() == TYPE_BLOCK) return "block";
    if (out.type() != TYPE_LOGIC) return "not logic";
    return out.data1 ? "true" : "false";
}
#else
std::string run(const std::string&) { return "nolexer"; }
#endif

}  // namespace

int main(int argc, char** argv) {
    platform::init(argc, argv);
    runtime::init();
    collector::enabled = true;  // as after start-up
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) std::cout << run(line) << '\n';
    return 0;
}
