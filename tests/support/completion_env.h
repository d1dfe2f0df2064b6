// Completion's script side (console/complete.kel) loaded for tests that run without the boot
// script: the few environment functions it calls are made here from natives, `system` holds the
// global context as its words and the accessors of the catalog, and folders are stood in for by
// `read` and `exists?` over a fixed table:
//   %./   alpha.kel alpine/ beta.txt Alps.md
//   %src/ main.cpp make.sh
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "kel_eval.h"

namespace completion_env {

// A file of the repository, by its path from the repository's root.
inline std::string source_of(const char* relative) {
    std::string here = __FILE__;
    std::string root = here.substr(0, here.rfind("/tests/"));
    std::ifstream in(root + "/" + relative);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The globals load() stands in for; unload() puts back what they held, so that the tests that
// run after these see the environment as it was.
constexpr const char* kStandIns = "[empty? first last block? refinement? any-object? any-function? exists? read system]";

inline kel_test::Outcome load() {
    kel_test::boot();
    kel_test::Outcome o = kel_test::run(std::string("completion-env-saved: copy []"
                                                    " foreach w ") + kStandIns +
                                        " [append/only completion-env-saved get/any w] true");
    if (o.error) return o;
    o = kel_test::run(R"(
        empty?: func [s] [tail? s]
        first: func [s] [pick s 1]
        last: func [s] [pick back tail s 1]
        block?: func [v] [block! = type? :v]
        refinement?: func [v] [refinement! = type? :v]
        any-object?: func [v [any-type!]] [to logic! find any-object! type? :v]
        any-function?: func [v [any-type!]] [to logic! find any-function! type? :v]
        test-folders: reduce [
            %./ [%alpha.kel %alpine/ %beta.txt %Alps.md]
            %src/ [%main.cpp %make.sh]
        ]
        exists?: func [f] [to logic! find test-folders f]
        read: func [f] [copy select test-folders f]
        true
    )");
    if (o.error) return o;
    Cell words;
    set_cell(&words, TYPE_OBJECT, context::global_node, 0, 0);
    kel_test::set_global("test-global-words", &words);
    o = kel_test::run(R"(
        system: make object! [
            words: none
            console: make object! [size: 0x0]
            catalog: make object! [accessors: [pair! [x y] date! [year month day]]]
        ]
        system/words: test-global-words
        true
    )");
    if (o.error) return o;
    std::string src = source_of("console/complete.kel");
    size_t body = src.find("kel-complete-ctx:");
    if (body == std::string::npos) {
        o.error = true;
        o.text = "console/complete.kel not found";
        return o;
    }
    return kel_test::run(src.substr(body) + "\ntrue");
}

inline kel_test::Outcome unload() {
    return kel_test::run(std::string("set/any ") + kStandIns + " completion-env-saved true");
}

}  // namespace completion_env
