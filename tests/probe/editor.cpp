// The console's line input in a loop, for the terminal tests in tests/py/: asks for lines the way
// `ask` does (through the routines' work), and after each one prints "=> " and the molded line.
// The line "q" ends it with status 0, through the run-time's exit path.
//   --hide           hidden input
//   --prompt TEXT    the prompt (">> " by default)
//   --words W...     global words to set (to 1) before the first line, for completion
// The line "size" also prints system/console/size.
// Completion runs console/complete.kel over stand-ins of the environment it calls.
#include <cstdio>
#include <cstring>
#include <string>

#include "../support/completion_env.h"
#include "../support/kel_eval.h"
#include "console/terminal.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/root.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
    platform::init(argc, argv);
    platform::set_stack_limit_for_current_thread(size_t(1) << 20);
    runtime::init();
    bool hidden = false;
    std::string prompt = ">> ";
    std::string words;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--hide") == 0) {
            hidden = true;
        } else if (std::strcmp(argv[i], "--prompt") == 0 && i + 1 < argc) {
            prompt = argv[++i];
        } else if (std::strcmp(argv[i], "--words") == 0) {
            while (i + 1 < argc && argv[i + 1][0] != '-') words += std::string(argv[++i]) + ": ";
            words += "1";
        }
    }
    kel_test::Outcome o = completion_env::load();
    if (!o.error && !words.empty()) o = kel_test::run(words);
    if (o.error) {
        std::fprintf(stderr, "set-up failed: %s %s\n", o.text.c_str(), o.message.c_str());
        return 2;
    }
    Cell title;
    string::load_at(&title, "Kel Console");
    terminal::console_init(&title);

    Cell history;
    block::make_new(&history, 8);
    int32_t history_slot = root::keep(&history);
    for (;;) {
        Cell line, p;
        string::make_at_unit(&line, 1, 1);
        collector::Root keep_line(&line);
        string::load_at(&p, prompt);
        collector::Root keep_prompt(&p);
        terminal::set_buffer_history(&line, root::at(history_slot));
        terminal::read_input(&p, hidden);
        std::string text = "=> " + kel_test::utf8_of(&line);
        // Molded by hand: the escape character shows as ^[ so that the output stays readable.
        std::string shown;
        for (char c : text) shown += c == 27 ? std::string("^[") : c == '\t' ? std::string("^-") : std::string(1, c);
        shown += "\n";
        output::write_bytes(shown.data(), shown.size());
        output::flush();
        if (kel_test::utf8_of(&line) == "q") runtime::exit_with(0);
        if (kel_test::utf8_of(&line) == "size") {
            std::string size = kel_test::eval("system/console/size") + "\n";
            output::write_bytes(size.data(), size.size());
            output::flush();
        }
    }
}
