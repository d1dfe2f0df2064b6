// file!: how paths mold (quoted only when a character needs it), the refinements its I/O actions
// refuse before touching anything, and its place under url!.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "datatypes/url.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(FileActions, Mold) {
    expect_cases({
        {"%a/b.txt", "%a/b.txt"},
        {"to file! \"a b\"", "%\"a b\""},
        {"to file! \"\"", "%\"\""},
        {"next %a", "%\"\""},
        // A position past the tail (the path shrank under it) molds as the empty path.
        {"f: %ab g: skip f 2 clear f g", "%\"\""},
        {"to file! \"d\u00E9j\u00E0/\u20AC\"", "%d\u00E9j\u00E0/\u20AC"},
        {"to file! \"!#$&'*+,-.=?_~\"", "%!#$&'*+,-.=?_~"},
        // Each character that may not stand unquoted forces the quotes; "(", ")", ":" and "@"
        // would end an unquoted file! literal, so they need them too.
        {"to file! \"a(b)\"", "%\"a(b)\""},
        {"to file! \"a:b\"", "%\"a:b\""},
        {"to file! \"a@b\"", "%\"a@b\""},
        {"to file! \"a;b\"", "%\"a;b\""},
        {"to file! \"a%b\"", "%\"a%b\""},
        {"to file! \"a[b\"", "%\"a[b\""},
        {"to file! \"a\\\\b\"", "%\"a\\\\b\""},
        {"to file! \"a{b\"", "%\"a{b\""},
        // Inside the quotes the characters that would end the text are escaped, so that the
        // molded path loads back as the same path.
        {"to file! {a\"b}", "%\"a^\"b\""},
        {"to file! \"a^/b\"", "%\"a^/b\""},
        {"to file! \"a^^b\"", "%\"a^^b\""},
        {"length? %\"a^\"b\"", "3"},
        {"mold/part %abcdef 3", "\"%ab\""},
        {"mold/part to file! \"a b c\" 4", "{%\"a }"},
        {"mold/part [%ab 1] 6", "\"[%ab 1\""},
        {"form %\"a b\"", "\"a b\""},
    });
}

TEST(FileActions, RefusedRefinements) {
    const std::string path = (std::filesystem::temp_directory_path() / "kel-file-actions-never").string();
    std::filesystem::remove(path);
    expect_cases({
        {("read/as %" + path + " 'utf-8").c_str(), "!internal/not-done"},
        {("write/as %" + path + " \"x\" 'utf-8").c_str(), "!internal/not-done"},
        {("write/allow %" + path + " \"x\" [read]").c_str(), "!internal/not-done"},
    });
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(FileActions, Row) {
    for (int a : {ACT_MAKE, ACT_TO, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_POKE, ACT_SKIP, ACT_TAKE})
        EXPECT_EQ(datatype::slot(TYPE_FILE, a), datatype::slot(TYPE_URL, a)) << a;
    EXPECT_EQ(datatype::slot(TYPE_FILE, ACT_MOLD), reinterpret_cast<void*>(&file::mold));
    expect_cases({
        {"open %x", "!script/expect-arg"},
        {"%a/b = %A/B", "true"},
        {"%a < %b", "true"},
    });
}
