// libFuzzer target of the lexer and mold together: what loads from the input is molded, and the
// molded text must load back to values that mold to the same text again.
#include "environment.h"

namespace {

const char* const kSetup = R"KEL(
    ;-- A word with a character that a url! molds encoded (other than ASCII, or such as ` or ^)
    ;-- loads as a url! when a colon follows it; its mold encodes that character, and the scheme no
    ;-- longer reads as a word, nor the text as a url!.
    fuzz-encoded: complement charset [#"a" - #"z" #"A" - #"Z" #"0" - #"9" "!#$&'()*+,-./:=?@_~"]
    fuzz-odd-url?: func [values][
        foreach v values [
            case [
                url? :v [if find copy/part v any [find v #":" tail v] fuzz-non-ascii [return true]]
                any-block? :v [if fuzz-odd-url? v [return true]]
                map? :v [if fuzz-odd-url? body-of v [return true]]
            ]
        ]
        false
    ]
    fuzz-one: func [data [binary!] /local values text again][
        values: load/all to string! data
        if fuzz-odd-url? values [exit]
        text: mold/only values
        again: mold/only load/all text
        unless equal? again text [
            fault: rejoin ["the mold of " mold to string! data " loads back differently: " text " " again]
        ]
    ]
)KEL";

}  // namespace

KEL_SCRIPT_FUZZ_TARGET(kSetup)
