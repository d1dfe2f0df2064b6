// The action rows of the scalar datatypes, inheritance by copy at registration, and the refusal
// of a registration with the wrong number of slots.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "datatypes/datatype.h"

namespace {

struct RowCase {
    int type;
    std::set<int> own;
    std::set<int> inherited;  // taken from the parent
};

}  // namespace

TEST(Registry, RowsHoldExactlyTheirSlots) {
    const RowCase rows[] = {
        {TYPE_UNSET, {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE}, {}},
        {TYPE_NONE,
         {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_CLEAR, ACT_FIND, ACT_LENGTH_Q, ACT_REMOVE, ACT_SELECT,
          ACT_TAKE},
         {}},
        {TYPE_LOGIC,
         {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_AND_T, ACT_COMPLEMENT, ACT_OR_T, ACT_XOR_T},
         {}},
        {TYPE_INTEGER,
         {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY,
          ACT_NEGATE, ACT_POWER, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_EVEN_Q, ACT_ODD_Q, ACT_AND_T, ACT_COMPLEMENT, ACT_OR_T,
          ACT_XOR_T},
         {}},
        {TYPE_FLOAT,
         {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY,
          ACT_NEGATE, ACT_POWER, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_EVEN_Q, ACT_ODD_Q},
         {}},
        {TYPE_CHAR,
         {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_REMAINDER, ACT_SUBTRACT,
          ACT_AND_T, ACT_OR_T, ACT_XOR_T},
         {ACT_RANDOM, ACT_ABSOLUTE, ACT_EVEN_Q, ACT_ODD_Q}},
        {TYPE_TIME,
         {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_ROUND, ACT_SUBTRACT,
          ACT_EVEN_Q, ACT_ODD_Q, ACT_PICK},
         {ACT_RANDOM, ACT_COMPARE, ACT_ABSOLUTE, ACT_NEGATE, ACT_REMAINDER}},
        {TYPE_TYPESET,
         {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_AND_T, ACT_COMPLEMENT, ACT_OR_T, ACT_XOR_T, ACT_FIND},
         {}},
    };
    int parents[kTypeCount] = {};
    parents[TYPE_CHAR] = TYPE_INTEGER;
    parents[TYPE_TIME] = TYPE_FLOAT;
    for (const RowCase& r : rows) {
        const char* name = datatype::name_of(r.type);
        for (int a = 1; a <= kActionCount; a++) {
            void* slot = datatype::slot(r.type, a);
            if (r.own.count(a)) {
                EXPECT_NE(slot, nullptr) << name << " lacks action " << a;
                if (parents[r.type]) {
                    EXPECT_NE(slot, datatype::slot(parents[r.type], a)) << name << " action " << a;
                }
            } else if (r.inherited.count(a)) {
                EXPECT_NE(slot, nullptr) << name << " lacks inherited action " << a;
                EXPECT_EQ(slot, datatype::slot(parents[r.type], a)) << name << " action " << a;
            } else {
                EXPECT_EQ(slot, nullptr) << name << " has action " << a;
            }
        }
    }
    // make and to are one routine where the types say so.
    for (int t : {TYPE_UNSET, TYPE_NONE, TYPE_FLOAT, TYPE_CHAR, TYPE_TIME, TYPE_TYPESET})
        EXPECT_EQ(datatype::slot(t, ACT_MAKE), datatype::slot(t, ACT_TO)) << datatype::name_of(t);
}

TEST(Registry, InheritedSlotsAreCopiesTakenAtRegistration) {
    constexpr int kProbe = 56;  // an id no datatype uses
    int saved_top = datatype::top_id;
    datatype::Row row;
    row.inherit({ACT_ADD, ACT_FORM});
    datatype::register_row(kProbe, TYPE_INTEGER, "probe!", row);
    void* add = datatype::slot(TYPE_INTEGER, ACT_ADD);
    EXPECT_EQ(datatype::slot(kProbe, ACT_ADD), add);
    EXPECT_EQ(datatype::slot(kProbe, ACT_SUBTRACT), nullptr);
    // A later change of the parent does not reach the child.
    void** parent_slot = datatype::action_table + (TYPE_INTEGER << 8) + ACT_ADD - 1;
    *parent_slot = datatype::slot(TYPE_INTEGER, ACT_SUBTRACT);
    EXPECT_EQ(datatype::slot(kProbe, ACT_ADD), add);
    *parent_slot = add;
    for (int a = 1; a <= kActionCount; a++) datatype::action_table[(kProbe << 8) + a - 1] = nullptr;
    datatype::names[kProbe] = datatype::NameEntry{};
    datatype::top_id = saved_top;
}

namespace {

// Registers with slots - 3 action slots in a child process; answers its exit status and output.
std::pair<int, std::string> register_in_child(int count) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, ""};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        static intptr_t slots[kActionCount + 1] = {};
        datatype::register_(count, 56, 0, "probe!", slots);
        _exit(77);  // not reached: the registration ends the process
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace

TEST(Registry, WrongSlotCountEndsTheProcess) {
    for (int found : {61, 63}) {
        auto [status, out] = register_in_child(found + 3);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, "*** Datatype Error: invalid actions count for type: 56\n*** Found: " + std::to_string(found) +
                           "\n*** Expected: 62\n");
    }
}
