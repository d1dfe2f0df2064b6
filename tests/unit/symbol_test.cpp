#include "datatypes/symbol.h"

#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "tests/support/child.h"
#include "tests/support/value_builders.h"

namespace {

TEST(Symbols, CaseVariantsAliasTheFirstAdded) {
    int32_t foo = symbol::make("sym-foo");
    int32_t Foo = symbol::make("Sym-Foo");
    int32_t again = symbol::make("sym-foo");
    int32_t FOO = symbol::make("SYM-FOO");
    EXPECT_EQ(again, foo);
    EXPECT_NE(Foo, foo);
    EXPECT_NE(FOO, Foo);
    EXPECT_EQ(symbol::resolve(Foo), foo);
    EXPECT_EQ(symbol::resolve(FOO), foo);
    EXPECT_EQ(symbol::alias_of(foo), -1);
    EXPECT_EQ(symbol::text(Foo), "Sym-Foo");

    int32_t count = symbol::count();
    EXPECT_EQ(symbol::make("Sym-Foo"), Foo);
    EXPECT_EQ(symbol::count(), count);
    EXPECT_EQ(symbol::make_flagged("SYM-foo"), foo);
    EXPECT_EQ(symbol::count(), count);
}

TEST(Symbols, NonAsciiCaseAndEmptyTextAreSymbolsOfTheirOwn) {
    int32_t lower = symbol::make("caf\xC3\xA9-sym");
    int32_t upper = symbol::make("caf\xC3\x89-sym");
    EXPECT_NE(lower, upper);
    EXPECT_EQ(symbol::alias_of(upper), -1);
    int32_t empty = symbol::make("");
    EXPECT_GT(empty, 0);
    EXPECT_EQ(symbol::make(""), empty);
    EXPECT_EQ(symbol::text(empty), "");
}

TEST(Symbols, AliasesStayCanonicalAcrossTableGrowth) {
    int32_t base = symbol::make("growth-probe");
    int32_t early = symbol::make("GROWTH-probe");
    for (int i = 0; i < 12000; i++) symbol::make("filler-" + std::to_string(i));
    int32_t late = symbol::make("Growth-Probe");
    EXPECT_EQ(symbol::alias_of(early), base);
    EXPECT_EQ(symbol::alias_of(late), base);  // never an alias of another variant
    EXPECT_EQ(symbol::make("growth-probe"), base);
    EXPECT_EQ(symbol::make("GROWTH-probe"), early);
}

TEST(Symbols, StringFormIsBuiltOnce) {
    int32_t id = symbol::make("string-once");
    Node first = symbol::get(id)->data2;
    EXPECT_NE(first, 0u);
    EXPECT_EQ(symbol::get(id)->data2, first);
    EXPECT_EQ(symbol::get_string(id), first);
}

TEST(Symbols, CompareIgnoresCaseUnlessStrict) {
    Cell a = *symbol::get(symbol::make("cmp-sym"));
    Cell b = *symbol::get(symbol::make("CMP-sym"));
    EXPECT_EQ(symbol::compare(&a, &b, COMP_EQUAL), 0);
    EXPECT_NE(symbol::compare(&a, &b, COMP_STRICT_EQUAL), 0);
    Cell c = *symbol::get(symbol::make("cmp-tym"));
    EXPECT_LT(symbol::compare(&a, &c, COMP_SORT), 0);
    Cell i = tv::integer(1);
    EXPECT_EQ(symbol::compare(&a, &i, COMP_EQUAL), -2);
}

// The symbol that makes the symbol block grow keeps its text when that growth collects.
TEST(Symbols, TextSurvivesACollectionWhileTheBlockGrows) {
    test_support::ChildResult r = test_support::in_child([] {
        auto full = [] {
            SeriesBuf* b = memory::nodes[symbol::block_node];
            return b->room() < sizeof(Cell);
        };
        for (int i = 0; !full(); i++) symbol::make("grow-fill-" + std::to_string(i));
        collector::torture = true;  // the growth below collects
        int32_t id = symbol::make("grow-last");
        collector::torture = false;
        collector::do_cycle();
        bool ok = memory::node_in_use(symbol::cell_of(id)->data3) && symbol::text(id) == "grow-last" &&
                  symbol::make("grow-last") == id;
        _exit(ok ? 0 : 1);
    });
    EXPECT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
}

}  // namespace
