#include "runtime/cycles.h"

#include <cstring>

#include "datatypes/string.h"
#include "runtime/platform.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"

namespace cycles {

static Node* base = nullptr;
static int top = 0;
static bool refusing = false;

Refusing::Refusing() : was_(refusing) { refusing = true; }
Refusing::~Refusing() { refusing = was_; }

void init() {
    if (!base) base = static_cast<Node*>(runtime::allocate(sizeof(Node) * kSize));
    top = 0;
}

void push(Node n) {
    if (!base) init();
    // Each entry is a level of native recursion in the walk that pushes it: on a small stack the
    // native stack runs out well before the 999 entries do.
    if (platform::stack_exhausted()) {
        top = 0;
        fire(err::internal::stack_overflow);
    }
    base[top++] = n;
    // The push that fills the last slot fails: 999 nested series are walked, not 1000.
    if (top >= kSize) {
        top = 0;
        fire(err::internal::too_deep);
    }
}

void pop() {
    if (top > 0) top--;
}

void pop_n(int n) { top = n < top ? top - n : 0; }

void reset() { top = 0; }

int depth() { return top; }

bool find_q(Node n) {
    for (int i = 0; i < top; i++)
        if (base[i] == n) return true;
    return false;
}

Node node_of(const Cell* value) {
    // Objects (and maps' hash-backed blocks) are keyed on the node in their first payload word
    // or second, by type.
    switch (value->type()) {
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT: return value->data1;
        default: return value->data2;
    }
}

bool detect_q(const Cell* value, Node buffer, int* remaining, bool mold) {
    if (!find_q(node_of(value))) return false;
    if (refusing) fire(err::internal::no_cycle);
    const char* marker = "...";
    if (mold) {
        switch (value->type()) {
            case TYPE_BLOCK:
            case TYPE_HASH: marker = "[...]"; break;
            case TYPE_PAREN: marker = "(...)"; break;
            case TYPE_MAP: marker = "#[...]"; break;
            case TYPE_OBJECT: marker = "make object! [...]"; break;
            default: marker = "..."; break;
        }
    }
    string::concatenate_literal(buffer, marker);
    *remaining -= static_cast<int>(std::strlen(marker));
    return true;
}

}  // namespace cycles
