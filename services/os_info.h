// What the system runs on, for the routine os-info: the distribution's name from os-release,
// the processor architecture and the kernel's version and build from uname.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "datatypes/cell.h"

namespace os_info {

struct Description {
    std::string name;     // "Debian GNU/Linux 12 (bookworm)", or the kernel's name
    std::string arch;     // x86-32 ARM IA-64 x86-64 ARM64 Unknown
    uint8_t version[3];   // the kernel's release, each part capped at 255
    int32_t build;        // the kernel's build number (after "#" in its version text), or 0
};

// The value of one key of an os-release file (shell-like KEY=value lines, values optionally
// quoted, backslash escapes inside double quotes); empty when the key is missing.
std::string os_release_value(std::string_view text, std::string_view key);
// The architecture word for a uname machine name.
const char* arch_of(std::string_view machine);
// The first three numbers of a kernel release such as "6.1.0-13-amd64" (missing ones are 0).
void release_numbers(std::string_view release, uint8_t out[3]);
// The build number in a kernel version text such as "#1 SMP PREEMPT_DYNAMIC ...".
int32_t build_number(std::string_view version);

// Reads the platform.
Description describe();
// The object! of name, arch, version and build (in this order) that os-info answers.
void make_object(Cell* out);

}  // namespace os_info
