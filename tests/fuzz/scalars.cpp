// libFuzzer target of the scalar datatypes made from text and bytes. The first byte picks the
// datatype, the rest is the text (and the bytes) given to `to` and `make`; what they make is
// molded and formed, and where a datatype's mold is its literal form it must load back to the same mold.
// Every input also runs through debase and enbase in the four bases, which must invert each other.
#include "environment.h"

namespace {

const char* const kSetup = R"KEL(
    fuzz-types: [
        date! time! money! tuple! pair! percent! integer! float! char! issue! tag! email! url!
        file! binary! word! refinement! path! point2D! point3D! ref! bitset! logic! string!
        block! triple! vector! typeset! lit-word! set-word! get-word! none! datatype! map!
    ]
    ;-- Datatypes whose molded text is a literal that loads back as a value with the same mold (an
    ;-- email or an issue made from text keeps the text as it is, blanks and all; a time's seconds
    ;-- are molded to 6 digits, so only the mold, not the value, must come back).
    fuzz-reloads: [date! time! money! tuple! pair! percent! integer! float! char! point2D! point3D!]
    fuzz-check: func [value /local text again][
        text: mold :value
        form :value
        if find fuzz-reloads type?/word :value [
            again: mold load text
            unless equal? again text [
                fault: rejoin ["the mold of a " type? :value " loads back differently: " text " " again]
            ]
        ]
    ]
    ;-- Made from a number, the datatypes not listed here take it as a size: a long number makes a
    ;-- long (legitimate) run.
    fuzz-scalars: [date! time! money! tuple! pair! percent! integer! float! char! point2D! point3D!]
    fuzz-digit: charset "0123456789"
    fuzz-one: func [data [binary!] /local type bytes text encoded long?][
        if empty? data [exit]
        type: pick fuzz-types 1 + ((first data) // length? fuzz-types)
        bytes: next data
        text: attempt [to string! bytes]
        long?: false
        parse bytes [any [5 fuzz-digit (long?: true) to end | skip]]
        if all [long? not find fuzz-scalars type][exit]
        type: get type
        if text [
            attempt [fuzz-check to type text]
            attempt [fuzz-check make type text]
            attempt [fuzz-check to type load text]
            foreach base [2 16 58 64][attempt [debase/base text base]]
        ]
        attempt [fuzz-check to type bytes]
        attempt [fuzz-check make type bytes]
        foreach base [2 16 58 64][
            encoded: enbase/base bytes base
            unless equal? bytes debase/base encoded base [
                fault: rejoin ["enbase " base " of " mold bytes " does not decode back: " encoded]
            ]
        ]
    ]
)KEL";

}  // namespace

KEL_SCRIPT_FUZZ_TARGET(kSetup)
