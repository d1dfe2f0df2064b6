// Runs Kel scripts without the environment: the run-time, the natives and actions, the typesets
// and operators, then each named file evaluated as the console would. A stand-in for `kel FILE`
// while the start-up script cannot run scripts yet; it prints what the scripts print.
#include <fstream>
#include <iostream>
#include <sstream>

#include "runtime/init.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "tests/support/kel_eval.h"

namespace {

struct Job {
    int argc;
    char** argv;
};

int run(void* p) {
    auto* job = static_cast<Job*>(p);
    runtime::init();
    int status = 0;
    for (int i = 1; i < job->argc; i++) {
        std::ifstream in(job->argv[i], std::ios::binary);
        if (!in) {
            std::cerr << "cannot read " << job->argv[i] << "\n";
            return 1;
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string code = text.str();
        // The header is skipped as the console skips it.
        size_t at = code.find("Kel [");
        if (at != std::string::npos) {
            size_t close = code.find(']', at);
            code = close == std::string::npos ? std::string() : code.substr(close + 1);
        }
        kel_test::Outcome o = kel_test::run(code);
        output::flush();
        if (o.error) {
            std::cerr << job->argv[i] << ": " << o.message << "\n";
            status = 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    platform::init(argc, argv);
    Job job{argc, argv};
    int status = platform::run_on_interpreter_thread(run, &job);
    output::flush();
    return status;
}
