// libFuzzer target of the CSV codec. The first byte picks load-csv's refinements (and whether the
// delimiter is a string of two characters), the next two its delimiter and quote character; the
// rest is the CSV text. Rows that load are written again with to-csv under the same delimiter and
// quote, and a table of equal-length rows must load back equal.
#include "environment.h"

namespace {

const char* const kSetup = R"KEL(
    fuzz-one: func [data [binary!] /local flags delimiter quote-char text call value again width][
        if 3 > length? data [exit]
        flags: first data
        delimiter: either zero? flags and 32 [#","][to char! second data]
        quote-char: either zero? flags and 64 [#"^""][to char! third data]
        text: to string! skip data 3
        unless zero? flags and 128 [delimiter: rejoin [delimiter delimiter]]
        ;-- A line break or the quote in the delimiter leaves no table to read.
        if any [
            find form delimiter cr find form delimiter lf find form delimiter quote-char
            find reduce [cr lf] quote-char
        ][exit]
        call: to path! 'load-csv
        foreach [bit word] [1 header 2 as-columns 4 as-records 8 flat 16 trim][
            unless zero? flags and bit [append call word]
        ]
        unless zero? flags and 32 [append call 'with]
        unless zero? flags and 64 [append call 'quote]
        value: do compose [
            (call) text
            (either zero? flags and 32 [][delimiter])
            (either zero? flags and 64 [][quote-char])
        ]
        if any [error? :value not block? :value empty? value 0 < (flags and 15)][exit]
        ;-- Rows as load-csv makes them with no refinement but the delimiter and quote.
        width: length? first value
        foreach row value [unless width = length? row [exit]]
        if zero? width [exit]
        again: load-csv/with/quote to-csv/with/quote value delimiter quote-char delimiter quote-char
        if all [zero? flags and 16 not equal? again value][
            fault: rejoin ["to-csv of " mold value " loads back as " mold again]
        ]
    ]
)KEL";

}  // namespace

KEL_SCRIPT_FUZZ_TARGET(kSetup)
