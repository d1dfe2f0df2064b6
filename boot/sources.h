// The environment's Kel source files, embedded at build time in boot order.
#pragma once

#include <cstddef>
#include <string_view>

namespace boot_sources {

struct File {
    const char* name;  // path relative to the repository root
    const unsigned char* data;
    size_t size;
};

extern const File files[];
extern const int count;

// The file of a name, or null.
inline const File* find(std::string_view name) {
    for (int i = 0; i < count; i++)
        if (name == files[i].name) return &files[i];
    return nullptr;
}

}  // namespace boot_sources
