#include "uci.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "attacks.h"
#include "engine.h"
#include "text.h"

namespace velmar::uci {

namespace {

// Reads one line without its "\n" and then "\r"; false at end of input.
bool read_line(std::string& line) {
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = ::getline(&buffer, &capacity, stdin);
    if (length < 0) {
        std::free(buffer);
        return false;
    }
    line.assign(buffer, size_t(length));
    std::free(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

int run(int argc, char** argv) {
    init_attacks();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Output out;
    if (!args.empty() && args[0] == "bench") {
        run_bench(std::vector<std::string>(args.begin() + 1, args.end()), out);
        return 0;
    }
    out.line(std::string(VERSION) + " (" + VELMAR_LEVEL_NAME + ")");

    Engine engine(out);
    std::string line;
    while (read_line(line)) {
        // Stamped before anything else: a `go` measures its time from here.
        const auto received = std::chrono::steady_clock::now();
        if (!is_valid_utf8(line)) break;
        if (!engine.handle(std::string(trim(line)), received)) return 0;
    }
    engine.end_of_input();
    return 0;
}

}  // namespace velmar::uci
