// The cycle stack: mold, form, binding and ownership walks push the series they enter, so a
// series met again is written as a short marker instead of being walked forever.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace cycles {

constexpr int kSize = 1000;  // at most 999 nested entries

void init();
// Pushes a series node; raises internal too-deep (after emptying the stack) when it is full.
void push(Node n);
void pop();
void pop_n(int n);
void reset();
bool find_q(Node n);
int depth();
// The node a value's walk is keyed on: the context for objects, else the series.
Node node_of(const Cell* value);
// When the value's series is being walked: appends its marker ("[...]", "(...)", "#[...]",
// "make object! [...]", "..."; always "..." in form mode) to the string buffer, lowers the
// remaining length by the marker's length and answers true.
bool detect_q(const Cell* value, Node buffer, int* remaining, bool mold);

// While one lives, a series met again raises internal no-cycle instead of being written as its
// marker: text that is to be loaded back (save) must not stand a word for the lost series.
class Refusing {
public:
    Refusing();
    ~Refusing();
    Refusing(const Refusing&) = delete;
    Refusing& operator=(const Refusing&) = delete;

private:
    bool was_;
};

// Pushes a node for a scope; leaving the scope, normally or by a throw, drops it and anything
// pushed above it.
class Scope {
public:
    explicit Scope(Node n) : depth_(depth()) { push(n); }
    ~Scope() {
        int d = depth();
        if (d > depth_) pop_n(d - depth_);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    int depth_;
};

}  // namespace cycles
