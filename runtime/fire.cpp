#include "runtime/fire.h"

#include <initializer_list>

#include "datatypes/cell.h"
#include "runtime/runtime.h"

// Until error values exist, an error travels as its id and argument cells.
namespace fire_carrier {
ErrorId last{0, 0};
Cell args[3];
int count = 0;
}  // namespace fire_carrier

void fire(ErrorId id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    fire_carrier::last = id;
    fire_carrier::count = 0;
    for (const Cell* a : {arg1, arg2, arg3}) {
        if (!a) break;
        fire_carrier::args[fire_carrier::count++] = *a;
    }
    runtime::throw_code(codes::error);
}
