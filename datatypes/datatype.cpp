#include "datatypes/datatype.h"

#include <cstring>

#include "runtime/print.h"
#include "runtime/runtime.h"

namespace datatype {

NameEntry* names = nullptr;
void** action_table = nullptr;
int top_id = 0;

void init_tables() {
    if (names) return;
    names = static_cast<NameEntry*>(runtime::allocate_zeroed(sizeof(NameEntry) * kTypeCount));
    action_table = static_cast<void**>(runtime::allocate_zeroed(sizeof(void*) * kTypeCount * 256));
}

void register_(int count, int type, int parent, const char* name, const intptr_t* slots) {
    if (type > top_id) top_id = type;
    names[type].name = name;
    names[type].length = static_cast<int32_t>(std::strlen(name)) - 1;
    if (count - 3 != kActionCount) {
        print_line({Typed::text("*** Datatype Error: invalid actions count for type: "), Typed::integer(type)});
        print_line({Typed::text("*** Found: "), Typed::integer(count - 3)});
        print_line({Typed::text("*** Expected: "), Typed::integer(kActionCount)});
        runtime::quit(0);
    }
    void** row = action_table + (type << 8);
    void** from = action_table + (parent << 8);
    for (int k = 0; k < kActionCount; k++) {
        if (parent && slots[k] == kInherit)
            row[k] = from[k];
        else
            row[k] = reinterpret_cast<void*>(slots[k]);
    }
}

void register_row(int type, int parent, const char* name, const Row& row) {
    register_(3 + kActionCount, type, parent, name, row.slots);
}

const char* name_of(int type_id) {
    if (type_id <= 0 || type_id >= kTypeCount || !names[type_id].name) return "";
    return names[type_id].name;
}

}  // namespace datatype
