// email!, tag! and ref!: the strings that differ from string! in how they are written and, for
// email!, in path access to the user and host parts; and the action rows they take from string!.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/email.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(Email, UserAndHost) {
    expect_cases({
        {"e: me@host.org e/user", "\"me\""},
        {"e: me@host.org e/host", "\"host.org\""},
        {"e: me@host.org type? e/user", "string!"},
        // Only the first "@" splits.
        {"e: to email! \"a@b@c\" e/user", "\"a\""},
        {"e: to email! \"a@b@c\" e/host", "\"b@c\""},
        {"e: to email! \"nobody\" e/user", "\"nobody\""},
        {"e: to email! \"nobody\" e/host", "\"\""},
        {"e: to email! \"@h\" e/user", "\"\""},
        // From the value's position, not the buffer's start.
        {"e: skip me@host.org 1 e/user", "\"e\""},
        // Wide characters keep their width in the parts.
        {"e: to email! \"\u00E9t\u00E9@h\u20AC\" e/host", "\"h\u20AC\""},
        {"e: me@host.org e/1", "#\"m\""},
        {"e: me@host.org e/20", "none"},
        {"e: me@host.org e/USER", "\"me\""},
        // The parts read are copies.
        {"e: me@host.org u: e/user append u \"x\" e", "me@host.org"},
        {"e: me@host.org e/other", "!script/invalid-path"},
        {"e: me@host.org e/(\"user\")", "!script/invalid-path"},
        {"e: me@host.org e/(1.5)", "!script/invalid-path"},
    });
    kel_test::Outcome o = kel_test::run("e: me@host.org e/other");
    EXPECT_NE(o.message.find("cannot access other in path e/other"), std::string::npos) << o.message;
}

TEST(Email, SetParts) {
    expect_cases({
        {"e: me@host.org e/host: \"x.net\" e", "me@x.net"},
        {"e: me@host.org e/user: \"you\" e", "you@host.org"},
        {"e: to email! \"a@b@c\" e/host: \"z\" e", "a@z"},
        {"e: to email! \"a@b@c\" e/user: \"\" e", "@b@c"},
        {"e: me@host.org e/user: \"you\"", "\"you\""},
        // Without "@" the host is the empty end of the text.
        {"e: to email! \"nobody\" e/host: \"x\" e", "nobodyx"},
        {"e: to email! \"nobody\" e/user: \"x\" e", "x"},
        {"e: me@host.org e/user: 42 e", "42@host.org"},
        {"e: me@host.org f: e e/host: \"\u20AC\" f", "me@\u20AC"},
        {"e: me@host.org e/1: #\"y\" e", "ye@host.org"},
        {"e: me@host.org e/other: 1", "!script/invalid-path"},
    });
}

TEST(Email, SettingAPartTellsTheOwner) {
    expect_cases({
        {"log: copy [] "
         "o: make object! [m: a@b.c on-deep-change*: func [owner word target action new index part] "
         "[append log reduce [action index part]]] "
         "o/m/host: \"zz.org\" "
         "reduce [o/m log]",
         "[a@zz.org [change 2 3 changed 2 6]]"},
    });
}

TEST(Email, MoldAndForm) {
    expect_cases({
        {"me@host.org", "me@host.org"},
        {"form me@host.org", "\"me@host.org\""},
        {"mold/part me@host.org 4", "\"me@h\""},
        {"next me@h", "e@h"},
    });
}

TEST(Tag, FormMoldAndPart) {
    expect_cases({
        {"<a b>", "<a b>"},
        {"form <a b>", "\"<a b>\""},
        {"form next <ab>", "\"<b>\""},
        {"to tag! \"\"", "<>"},
        {"mold/part <abcdef> 3", "\"<ab\""},
        {"mold/part [<ab> <cd>] 8", "\"[<ab> <c\""},
        {"mold/part [<ab> x] 7", "\"[<ab> x\""},
        {"form/part <abc> 5", "\"<abc>\""},
        {"append <a> \"b\"", "<ab>"},
        {"length? <abc>", "3"},
        {"sort <cba>", "!script/expect-arg"},
        {"trim <a >", "!script/expect-arg"},
    });
}

TEST(Ref, MoldFormAndRow) {
    expect_cases({
        {"@name", "@name"},
        {"form @name", "\"name\""},
        {"mold/part @name 3", "\"@na\""},
        {"mold/part [@ab x] 6", "\"[@ab x\""},
        {"to ref! \"x y\"", "@x y"},
        {"head insert @x \"y\"", "@yx"},
        {"append @x \"y\"", "!script/expect-arg"},
        {"sort @cba", "!script/expect-arg"},
        {"pick @abc 2", "#\"b\""},
        {"@abc = @ABC", "true"},
    });
    // ref! takes string!'s entries, apart from mold and the ones it lacks.
    for (int a : {ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_AT, ACT_INSERT, ACT_TAKE, ACT_MODIFY})
        EXPECT_EQ(datatype::slot(TYPE_REF, a), datatype::slot(TYPE_STRING, a)) << a;
    for (int a : {ACT_RANDOM, ACT_APPEND, ACT_PUT, ACT_SORT, ACT_TRIM, ACT_EVAL_PATH, ACT_ADD, ACT_READ})
        EXPECT_EQ(datatype::slot(TYPE_REF, a), nullptr) << a;
    // email! and tag! take string!'s series actions from append through select, and have no I/O.
    for (int t : {TYPE_EMAIL, TYPE_TAG}) {
        for (int a = ACT_APPEND; a <= ACT_SELECT; a++) EXPECT_EQ(datatype::slot(t, a), datatype::slot(TYPE_STRING, a)) << t << " " << a;
        for (int a : {ACT_RANDOM, ACT_SET_PATH, ACT_ADD, ACT_SORT, ACT_TRIM, ACT_READ, ACT_WRITE, ACT_OPEN})
            EXPECT_EQ(datatype::slot(t, a), nullptr) << t << " " << a;
    }
    EXPECT_EQ(datatype::slot(TYPE_EMAIL, ACT_EVAL_PATH), reinterpret_cast<void*>(&email::eval_path));
    EXPECT_EQ(datatype::slot(TYPE_TAG, ACT_EVAL_PATH), datatype::slot(TYPE_STRING, ACT_EVAL_PATH));
}
