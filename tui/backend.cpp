// The backend's shared state and the table that turns a face's handle into its widget.
#include "tui/backend.h"

namespace tui {

State state;

// Slot i holds the widget of id (generation << 16 | i + 1); a freed slot bumps its generation so
// that old handles find nothing.
static std::vector<Widget*> slots;
static std::vector<uint16_t> generations;

uint32_t add_widget(Widget* w) {
    size_t i = 0;
    while (i < slots.size() && slots[i]) i++;
    if (i == slots.size()) {
        if (i >= 0xFFFF) return 0;
        slots.push_back(nullptr);
        generations.push_back(1);
    }
    slots[i] = w;
    w->id = uint32_t(generations[i]) << 16 | uint32_t(i + 1);
    return w->id;
}

void remove_widget(Widget* w) {
    uint32_t i = (w->id & 0xFFFF) - 1;
    if (i < slots.size() && slots[i] == w) {
        slots[i] = nullptr;
        generations[i] = uint16_t(generations[i] + 1 ? generations[i] + 1 : 1);
    }
    w->id = 0;
}

Widget* widget_of(uint32_t id) {
    uint32_t i = (id & 0xFFFF) - 1;
    if (!id || i >= slots.size() || !slots[i] || slots[i]->id != id) return nullptr;
    return slots[i];
}

}  // namespace tui
