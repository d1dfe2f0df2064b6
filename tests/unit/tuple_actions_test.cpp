// tuple!: conversion from blocks, text, colour issues and binaries; byte-wise arithmetic with
// clamping; comparison, reverse with records, byte access by path and pick; the constructors
// other modules call.
#include "datatypes/tuple.h"

#include <gtest/gtest.h>

#include "runtime/stack.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(TupleActions, To) {
    expect_cases({
        {"to tuple! [1 2]", "1.2.0"},
        {"to tuple! []", "0.0.0"},
        {"to tuple! [1.9 #\"a\" 255]", "1.97.255"},
        {"to tuple! [-0.5 1 2]", "0.1.2"},
        {"to tuple! [1 2 3 4 5 6 7 8 9 10 11 12]", "1.2.3.4.5.6.7.8.9.10.11.12"},
        {"to tuple! to paren! [1 2 3 4]", "1.2.3.4"}, {"to tuple! make hash! [5 6]", "5.6.0"},
        {"make tuple! [1 2 3]", "1.2.3"},
        {"to tuple! \"1.2.3.4\"", "1.2.3.4"},
        {"to tuple! %1.2.3", "1.2.3"},
        {"to tuple! #F00", "255.0.0"},
        {"to tuple! #a0b0c0", "160.176.192"},
        {"to tuple! #FF000080", "255.0.0.128"},
        {"to tuple! 1.2.3", "1.2.3"},
        {"to tuple! #{0102}", "1.2.0"},
        {"to tuple! next #{01020304}", "2.3.4"},
        {"to tuple! #{0102030405060708090A0B0C0D}", "1.2.3.4.5.6.7.8.9.10.11.12"},
        // Errors.
        {"to tuple! [1 2 3 4 5 6 7 8 9 10 11 12 13]", "!script/bad-to-arg"},
        {"to tuple! [256 0 0]", "!script/bad-to-arg"},
        {"to tuple! [-1 0 0]", "!script/bad-to-arg"},
        {"to tuple! [1.#NaN 0 0]", "!script/bad-to-arg"},
        {"to tuple! [a 1 2]", "!script/bad-to-arg"},
        {"to tuple! \"1.2\"", "!script/bad-to-arg"},
        {"to tuple! \"abc\"", "!script/bad-to-arg"},
        {"to tuple! 1", "!script/bad-to-arg"},
        {"to tuple! #FF00", "!script/invalid-data"},
        {"to tuple! #GG0", "!script/invalid-data"},
        {"e: try [to tuple! #FF00] e/arg1", "#FF00"},
        {"e: try [to tuple! [256]] reduce [e/arg1 e/arg2]", "[tuple! [256]]"},
    });
}

TEST(TupleActions, Arithmetic) {
    expect_cases({
        {"1.2.3 + 1.2.3.4", "2.4.6.4"},
        {"200.100.0 + 100", "255.200.100"},
        {"10.20.30 - 50", "0.0.0"},
        {"10.20.30 - 1.2.3", "9.18.27"},
        {"1.2.3 * 2.5", "2.5.7"},
        {"10.20.30 * 50%", "5.10.15"},
        {"10.20.30 / 4", "2.5.7"},
        {"10.20.30 / 2.0.3", "!math/zero-divide"},
        {"10.20.30 % 7", "3.6.2"},
        {"10.20.30 - 0.5", "9.19.29"},
        {"2 * 1.2.3", "2.4.6"},
        {"1.5 * 10.20.30", "15.30.45"},
        {"2 - 1.2.3", "!script/not-related"},
        {"2.0 / 1.2.3", "!script/not-related"},
        {"e: try [2 - 1.2.3] reduce [e/arg1 e/arg2]", "[subtract integer!]"},
        {"1.2.3 / 0", "!math/zero-divide"},
        {"1.2.3 / 0.0", "!math/zero-divide"},
        {"1.2.3 % 0", "!math/zero-divide"},
        // Results outside the 32-bit integers clamp as well.
        {"100.0.0 * 2147483647", "255.0.0"},
        {"1.2.3 + -2147483648", "0.0.0"},
        {"1.2.3 + 1.#NaN", "0.0.0"},
        {"1.2.3 * 1.#INF", "255.255.255"},
        {"255.255.255 + 1.2.3.4.5.6.7.8.9.10.11.12", "255.255.255.4.5.6.7.8.9.10.11.12"},
        {"1.2.3 and 255.0.255", "1.0.3"},
        {"1.2.3 or 4", "5.6.7"},
        {"1.2.3 or 256", "255.255.255"},
        {"1.2.3 xor 1.2.3.4", "0.0.0.4"},
        {"1.2.3 + 'a", "!script/expect-arg"},
        {"1.2.3 + 1x2", "!script/invalid-type"},
        {"complement 1.2.3.0", "254.253.252.255"},
    });
}

TEST(TupleActions, CompareAndLength) {
    expect_cases({
        {"1.2.3 = 1.2.3.0", "true"},
        {"1.2.3 < 1.2.3.1", "true"},
        {"1.2.3 < 1.2.4", "true"},
        {"1.3.0 > 1.2.255", "true"},
        {"255.0.0 > 1.0.0", "true"},
        {"1.2.3 = 1", "false"},
        {"1.2.3 < 1", "!script/invalid-compare"},
        {"length? 1.2.3.4", "4"},
        {"length? 1.2.3", "3"},
    });
}

TEST(TupleActions, Reverse) {
    expect_cases({
        {"reverse 1.2.3.4", "4.3.2.1"},
        {"reverse/skip 1.2.3.4.5.6 2", "5.6.3.4.1.2"},
        {"reverse/skip 1.2.3.4.5.6 3", "4.5.6.1.2.3"},
        {"reverse/part 1.2.3.4 2", "2.1.3.4"},
        {"reverse/part 1.2.3.4 9", "4.3.2.1"},
        {"reverse/part 1.2.3.4 0", "1.2.3.4"},
        {"reverse/part/skip 1.2.3.4.5.6 4 2", "3.4.1.2.5.6"},
        {"reverse/skip 1.2.3.4 4", "1.2.3.4"},
        {"reverse/part 1.2.3.4 -1", "!script/out-of-range"},
        {"reverse/part 1.2.3.4 1.5", "!script/invalid-refine-arg"},
        {"reverse/skip 1.2.3.4 0", "!script/out-of-range"},
        {"reverse/skip 1.2.3.4 3", "!script/invalid-refine-arg"},
        {"reverse/skip 1.2.3.4 8", "!script/invalid-refine-arg"},
    });
}

TEST(TupleActions, BytesByPathAndPick) {
    expect_cases({
        {"pick 1.2.3 2", "2"},
        {"pick 1.2.3 4", "!script/out-of-range"},
        {"pick 1.2.3 'x", "!script/out-of-range"},
        {"t: 1.2.3.4 t/4", "4"},
        {"t: 1.2.3.4 t/5", "!script/out-of-range"},
        {"t: 1.2.3.4 t/x", "!script/invalid-type"},
        {"t: 1.2.3.4 t/2: 300 t", "1.255.3.4"},
        {"t: 1.2.3.4 t/2: -1 t", "1.0.3.4"},
        {"t: 1.2.3.4 t/2: none t", "1.0.0"},
        {"t: 1.2.3.4.5 t/5: none t", "1.2.3.4"},
        {"t: 1.2.3.4.5 t/1: none reduce [t length? t]", "[0.0.0 3]"},
        {"t: 1.2.3 t/1: \"a\"", "!script/invalid-type"},
        {"t: 1.2.3 t/4: 1", "!script/out-of-range"},
        {"t: 1.2.3 t/3: 9", "9"},
        {"b: [1.2.3] b/1/2: 0 b", "[1.0.3]"},
        {"log: copy [] o: make object! [c: 1.2.3 on-change*: func [w o n] [append log reduce [w o n]]] "
         "o/c/1: 9 log",
         "[c 1.2.3 9.2.3]"},
    });
}

TEST(TupleActions, Constructors) {
    kel_test::boot();
    Cell* saved = stack::top;
    const int32_t values[2] = {0x101, 7};
    Cell* t = tuple::push_bytes(2, values);
    EXPECT_EQ(tuple::count_of(t), 3);
    EXPECT_EQ(tuple::bytes_of(t)[0], 1);
    EXPECT_EQ(tuple::bytes_of(t)[1], 7);
    EXPECT_EQ(tuple::bytes_of(t)[2], 0);
    Cell* p = tuple::push(4, 0x04030201u, 0, 0);
    EXPECT_EQ(tuple::count_of(p), 4);
    EXPECT_EQ(tuple::bytes_of(p)[3], 4);
    EXPECT_FALSE(tuple::all_zero_q(p));
    stack::top = saved;
    Cell c{};
    tuple::from_rgba(&c, 255, 0, 10, -1);
    EXPECT_EQ(tuple::count_of(&c), 3);
    EXPECT_EQ(c.data1, 0x000A00FFu);
    tuple::from_rgba(&c, 0, 0, 0, 0);
    EXPECT_EQ(tuple::count_of(&c), 4);
    EXPECT_TRUE(tuple::all_zero_q(&c));
}
