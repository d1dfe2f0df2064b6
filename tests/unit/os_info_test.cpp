// Reading the OS description: os-release values, architecture names, kernel release numbers.
#include <gtest/gtest.h>

#include <string>

#include "services/os_info.h"

TEST(OsInfo, OsReleaseValues) {
    const char* text =
        "# a comment\n"
        "NAME=\"Debian GNU/Linux\"\n"
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "  VERSION_ID='12'\n"
        "ID=debian\n"
        "QUOTED=\"say \\\"hi\\\" \\\\ done\"\n"
        "EMPTY=\n"
        "PRETTY=not the key asked for\n"
        "LAST=no line end";
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {
        {"PRETTY_NAME", "Debian GNU/Linux 12 (bookworm)"},
        {"NAME", "Debian GNU/Linux"},
        {"VERSION_ID", "12"},
        {"ID", "debian"},
        {"QUOTED", "say \"hi\" \\ done"},
        {"EMPTY", ""},
        {"PRETTY", "not"},
        {"LAST", "no"},
        {"MISSING", ""},
        {"a comment", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(os_info::os_release_value(text, c.key), c.value) << c.key;
    // A quote never closed ends with the text.
    EXPECT_EQ(os_info::os_release_value("X=\"open", "X"), "open");
    EXPECT_EQ(os_info::os_release_value("", "X"), "");
}

TEST(OsInfo, Architectures) {
    struct Case {
        const char* machine;
        const char* arch;
    } cases[] = {
        {"x86_64", "x86-64"}, {"amd64", "x86-64"}, {"i386", "x86-32"}, {"i686", "x86-32"},
        {"i786", "Unknown"},  {"aarch64", "ARM64"}, {"arm64", "ARM64"}, {"armv7l", "ARM"},
        {"ia64", "IA-64"},    {"riscv64", "Unknown"}, {"", "Unknown"},
    };
    for (const Case& c : cases) EXPECT_STREQ(os_info::arch_of(c.machine), c.arch) << c.machine;
}

TEST(OsInfo, KernelNumbers) {
    struct Case {
        const char* release;
        int a, b, c;
    } cases[] = {
        {"6.1.0-13-amd64", 6, 1, 0},
        {"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153},
        {"4.9", 4, 9, 0},
        {"3", 3, 0, 0},
        {"1000.300.99999999999999999999", 255, 255, 255},
        {"", 0, 0, 0},
        {"x.1", 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint8_t v[3];
        os_info::release_numbers(c.release, v);
        EXPECT_EQ(v[0], c.a) << c.release;
        EXPECT_EQ(v[1], c.b) << c.release;
        EXPECT_EQ(v[2], c.c) << c.release;
    }
    EXPECT_EQ(os_info::build_number("#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1"), 1);
    EXPECT_EQ(os_info::build_number("#42-Ubuntu SMP"), 42);
    EXPECT_EQ(os_info::build_number("SMP"), 0);
    EXPECT_EQ(os_info::build_number("#99999999999999999999"), INT32_MAX);
}

TEST(OsInfo, DescribesThisMachine) {
    os_info::Description d = os_info::describe();
    EXPECT_FALSE(d.name.empty());
    EXPECT_FALSE(d.arch.empty());
    EXPECT_GE(d.build, 0);
}
