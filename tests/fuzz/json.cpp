// libFuzzer target of the JSON codec: the input is JSON text for load-json. What loads is written
// again with to-json, plain and pretty, and must load back to an equal value. The input is also
// loaded as Kel values, and whatever to-json writes of them must be JSON that load-json reads.
#include "environment.h"

namespace {

const char* const kSetup = R"KEL(
    ;-- A lone high surrogate (molded as ^(D800) to ^(DBFF)) is written as its \u escape, which
    ;-- load-json refuses.
    fuzz-any-json: func [text /local values json molded][
        values: load/all text
        molded: mold values
        while [molded: find/tail/case molded "^^(D"][if find "89AB" first molded [exit]]
        foreach json reduce [to-json values to-json/ascii values to-json/pretty values tab][
            if error? load-json json [
                fault: rejoin ["to-json of " mold values " is no JSON: " json]
            ]
        ]
    ]
    fuzz-one: func [data [binary!] /local text value again json][
        text: to string! data
        attempt [fuzz-any-json text]
        value: load-json text
        ;-- JSON has no infinities: to-json writes them as null.
        if any [error? :value find mold :value "#INF"][exit]
        json: to-json :value
        again: load-json json
        unless equal? :again :value [
            fault: rejoin ["to-json of " mold text " loads back differently: " json]
            exit
        ]
        again: load-json to-json/pretty/ascii :value "  "
        unless equal? :again :value [fault: rejoin ["pretty JSON of " mold text " loads back differently"]]
    ]
)KEL";

}  // namespace

KEL_SCRIPT_FUZZ_TARGET(kSetup)
