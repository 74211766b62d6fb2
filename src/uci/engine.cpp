#include "engine.h"

#include <chrono>

#include "movegen.h"
#include "text.h"

namespace velmar::uci {

namespace {

constexpr const char* OPTION_LINES[] = {
    "option name Hash type spin default 16 min 1 max 262144",
    "option name Clear Hash type button",
    "option name Threads type spin default 1 min 1 max 256",
    "option name Move Overhead type spin default 10 min 0 max 5000",
    "option name PolicyMinDepth type spin default 0 min 0 max 64",
    "option name RouterFile type string default <empty>",
    "option name RouterPlies type spin default 2 min 0 max 8",
    "option name RouterReduce type spin default 6 min 0 max 100",
    "option name RouterOrder type check default false",
    "option name RouterMinDepth type spin default 2 min 1 max 64",
    "option name RouterMode type combo default Delta var Delta var Replace",
    "option name RouterOrderBonus type spin default 0 min 0 max 10000",
    "option name RouterTopK type spin default 0 min 0 max 16",
    "option name SyzygyPath type string default <empty>",
    "option name UseNNUE type check default true",
    "option name EvalFile type string default <internal>",
    "option name MultiPV type spin default 1 min 1 max 256",
    "option name UCI_ShowWDL type check default false",
    "option name GoalMoves type check default false",
    "option name ABDADA type check default false",
    "option name SMPMode type combo default Lazy var Lazy var YBWC var ABDADA",
    "option name SearchMode type combo default AB var AB var VOI var GumbelSH",
    "option name GumbelTemp type spin default 0 min 0 max 200",
};

}  // namespace

Engine::Engine(Output& out) : out_(out), position_(Position::startpos()) {}

Engine::~Engine() { finish_search(); }

void Engine::finish_search() {}

void Engine::end_of_input() { finish_search(); }

bool Engine::handle(const std::string& line) {
    std::vector<std::string> words = split_words(line);
    if (words.empty()) return true;
    const std::string& cmd = words[0];
    std::vector<std::string> args(words.begin() + 1, words.end());

    if (cmd == "uci") {
        cmd_uci();
    } else if (cmd == "isready") {
        out_.line("readyok");
    } else if (cmd == "ucinewgame") {
        finish_search();
        position_ = Position::startpos();
    } else if (cmd == "position") {
        cmd_position(args);
    } else if (cmd == "quit") {
        finish_search();
        return false;
    } else if (cmd == "display" || cmd == "d") {
        out_.line(position_.display() + "\n");
    } else if (cmd == "perft") {
        perft(args.empty() ? 1 : parse_u32(args[0]).value_or(1));
    } else {
        out_.line("info string unknown command: " + line);
    }
    return true;
}

void Engine::cmd_uci() {
    out_.line(std::string("id name ") + VERSION);
    out_.line("id author the Velmar authors");
    for (const char* option : OPTION_LINES) out_.line(option);
    out_.line("uciok");
}

void Engine::cmd_position(const std::vector<std::string>& args) {
    if (args.empty() || (args[0] != "startpos" && args[0] != "fen")) {
        out_.line("info string expected 'startpos' or 'fen'");
        return;
    }
    size_t moves_at = args.size();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "moves") {
            moves_at = i;
            break;
        }
    }
    if (args[0] == "startpos") {
        position_ = Position::startpos();
    } else {
        Result<Position> pos = Position::from_fen(join(args, 1, moves_at));
        if (!pos.ok()) {
            out_.line("info string " + pos.error().message);
            return;
        }
        position_ = std::move(pos.value());
    }
    for (size_t i = moves_at + 1; i < args.size(); ++i) {
        Move m = position_.parse_uci_move(args[i]);
        if (!m) {
            out_.line("info string illegal move " + args[i]);
            return;
        }
        position_.make_move(m);
    }
}

void Engine::perft(uint32_t depth) {
    finish_search();
    auto start = std::chrono::steady_clock::now();
    MoveList moves;
    generate_all(position_, moves);
    uint64_t total = 0;
    for (Move m : moves) {
        uint64_t count = 1;
        if (depth > 1) {
            position_.make_move(m);
            count = velmar::perft(position_, depth - 1);
            position_.unmake_move(m);
        }
        total += count;
        out_.line(m.text() + ": " + std::to_string(count));
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    uint64_t ms = std::max<uint64_t>(1, uint64_t(elapsed));
    out_.line("\nNodes searched: " + std::to_string(total) + "  (" + std::to_string(ms) + " ms, "
              + std::to_string(total * 1000 / ms) + " nps)");
}

}  // namespace velmar::uci
