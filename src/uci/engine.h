// The UCI engine state that survives between commands: the position, the option values, the
// shared tables and the searchers. Only the main thread calls handle(); output goes through
// an Output so tests can run whole sessions without a console.
#pragma once

#include <string>
#include <vector>

#include "output.h"
#include "position.h"

namespace velmar::uci {

inline constexpr const char* VERSION = "Velmar 0.1.0";

class Engine {
public:
    explicit Engine(Output& out);
    ~Engine();

    // Executes one trimmed input line; false only for "quit".
    bool handle(const std::string& line);
    // Called at end of input: a finite search is joined, an infinite one is stopped.
    void end_of_input();

    const Position& position() const { return position_; }

private:
    void cmd_uci();
    void cmd_position(const std::vector<std::string>& args);
    void perft(uint32_t depth);
    void finish_search();

    Output& out_;
    Position position_;
};

}  // namespace velmar::uci
