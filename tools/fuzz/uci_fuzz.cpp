// The UCI command loop. The input is the text a GUI would send, read line by line as the
// program reads standard input (a line ends at "\n", a final "\r" is dropped, invalid UTF-8
// ends the input), then end of input.
//
// Every run must stay short, so some lines are rewritten first, and only these:
//   go          "infinite" and "ponder" are dropped, depth is capped at 12, perft at 3, and
//               "nodes 1500" is appended (the last nodes word wins), so every search is bounded
//               by nodes; then the harness waits for the search to finish, which keeps a run
//               independent of timing
//   perft       depth capped at 3
//   bench       dropped
//   setoption   Hash capped at 4 MB and Threads at 2; EvalFile, RouterFile and SyzygyPath
//               (each directory) name files in a scratch directory: any '/' becomes '_', so
//               nothing outside it is read. The directory holds small.nnue (a valid all-zero
//               network of the smallest shape), bad.nnue, kwt1.bin .. kwt5.bin (seeded routers
//               of every version), bad.kwt, empty, and tb (the committed test tables).
// At most 64 lines and 4 searches or perfts are run. Each search must end with exactly one
// bestmove line naming a legal move (0000 only when there is none).
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "fuzz_util.h"
#include "movegen.h"
#include "router.h"
#include "router_moe.h"
#include "syzygy.h"
#include "text.h"

#ifndef VELMAR_FUZZ_TABLES
#error "VELMAR_FUZZ_TABLES names the directory of the committed test tables"
#endif

using namespace velmar;
namespace fs = std::filesystem;

namespace {

constexpr size_t MAX_LINES = 64;
constexpr int MAX_SEARCHES = 4;
constexpr uint64_t NODE_CAP = 1500;
constexpr int64_t DEPTH_CAP = 12;
constexpr uint32_t PERFT_CAP = 3;
constexpr uint64_t HASH_CAP_MB = 4;
constexpr uint64_t THREADS_CAP = 2;

const fs::path& files_dir() {
    static const fs::path dir = [] {
        const fs::path d = fuzz::scratch_dir() / "uci";
        fs::create_directories(d);
        std::vector<uint8_t> zeros(1'579'010, 0);  // 1 king bucket, 1 output bucket, no head
        fuzz::write_file(d / "small.nnue", zeros);
        fuzz::write_file(d / "bad.nnue", std::span(zeros).first(100));
        for (uint32_t v = 1; v <= 4; ++v)
            fuzz::write_file(d / ("kwt" + std::to_string(v) + ".bin"),
                             RouterNet::random(v, 16, 8, v).to_bytes());
        fuzz::write_file(d / "kwt5.bin", RouterMoeNet::random(4, 1, 2, 5).to_bytes());
        const uint8_t bad_router[16] = {'K', 'W', 'T', '4', 8, 0, 0, 0, 8, 0, 0, 0};
        fuzz::write_file(d / "bad.kwt", bad_router);
        fuzz::write_file(d / "empty", {});
        fs::create_directory_symlink(VELMAR_FUZZ_TABLES, d / "tb");
        return d;
    }();
    return dir;
}

std::string scratch_path(std::string_view name) {
    std::string safe(name);
    for (char& c : safe)
        if (c == '/' || c == '\\') c = '_';
    if (safe == "." || safe == "..") safe = "missing";
    return (files_dir() / safe).string();
}

// SyzygyPath: each directory between ':' or ';' separators, the separators kept.
std::string scratch_dirs(std::string_view value) {
    std::string out;
    size_t begin = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] != ':' && value[i] != ';') continue;
        const std::string_view part = value.substr(begin, i - begin);
        if (!part.empty()) out += scratch_path(part);
        if (i < value.size()) out += value[i];
        begin = i + 1;
    }
    return out;
}

bool is_special(const std::string& value) {
    return value.empty() || value == "<empty>" || value == "<internal>";
}

// The name and value exactly as Engine::set_option finds them.
std::string rewrite_setoption(const std::string& line, const std::vector<std::string>& words) {
    const std::vector<std::string> args(words.begin() + 1, words.end());
    auto name_at = std::find(args.begin(), args.end(), "name");
    auto value_at = std::find(args.begin(), args.end(), "value");
    size_t name_begin = name_at == args.end() ? 0 : size_t(name_at - args.begin()) + 1;
    size_t name_end = size_t(value_at - args.begin());
    if (name_end < name_begin) name_end = name_begin;
    const std::string name = uci::ascii_lower(uci::join(args, name_begin, name_end));
    std::string value = value_at == args.end()
                            ? ""
                            : std::string(uci::trim(uci::join(args, name_end + 1, args.size())));

    std::string capped = value;
    if (name == "hash") {
        if (auto mb = uci::parse_u64(value); mb && *mb > HASH_CAP_MB)
            capped = std::to_string(HASH_CAP_MB);
    } else if (name == "threads") {
        if (auto n = uci::parse_u64(value); n && *n > THREADS_CAP)
            capped = std::to_string(THREADS_CAP);
    } else if (name == "evalfile" || name == "routerfile") {
        if (!is_special(value)) capped = scratch_path(value);
    } else if (name == "syzygypath") {
        if (!is_special(value)) capped = scratch_dirs(value);
    }
    if (capped == value) return line;
    return "setoption name " + name + " value " + capped;
}

std::string capped_number(const std::string& word, uint64_t cap) {
    if (auto v = uci::parse_i64(word); v && *v > int64_t(cap)) return std::to_string(cap);
    return word;
}

std::string rewrite_go(const std::vector<std::string>& words) {
    std::vector<std::string> out;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "infinite" || w == "ponder") continue;
        out.push_back(w);
        if ((w == "depth" || w == "perft") && i + 1 < words.size()) {
            out.push_back(capped_number(words[i + 1], w == "depth" ? DEPTH_CAP : PERFT_CAP));
            ++i;
        }
    }
    out.push_back("nodes");
    out.push_back(std::to_string(NODE_CAP));
    return uci::join(out, 0, out.size());
}

class Run {
public:
    Run()
        : output_([this](const std::string& text) {
              std::lock_guard lock(mutex_);
              if (text.rfind("bestmove ", 0) == 0) bestmoves_.push_back(text.substr(9));
          }),
          engine_(output_) {}

    // False once the engine has quit.
    bool line(const std::string& line) {
        const std::vector<std::string> words = uci::split_words(line);
        if (words.empty()) return engine_.handle(line);
        const std::string& cmd = words[0];
        if (cmd == "bench") return true;
        if (cmd == "perft") {
            if (searches_++ >= MAX_SEARCHES) return true;
            if (words.size() < 2) return engine_.handle(line);
            return engine_.handle("perft " + capped_number(words[1], PERFT_CAP));
        }
        if (cmd == "setoption") return engine_.handle(rewrite_setoption(line, words));
        if (cmd != "go") return engine_.handle(line);

        if (searches_++ >= MAX_SEARCHES) return true;
        const std::string go = rewrite_go(words);
        const std::vector<std::string> args = uci::split_words(go);
        const uci::GoCommand parsed =
            uci::parse_go({args.begin() + 1, args.end()}, engine_.position());
        fuzz::check(parsed.perft_depth ? *parsed.perft_depth <= PERFT_CAP
                                       : !parsed.limits.infinite && parsed.limits.nodes
                                             && *parsed.limits.nodes <= NODE_CAP,
                    "harness let an unbounded go through");
        const Position root = engine_.position();
        const bool alive = engine_.handle(go);
        engine_.end_of_input();
        if (!parsed.perft_depth) check_bestmove(root);
        return alive;
    }

    void end() {
        engine_.end_of_input();
        std::lock_guard lock(mutex_);
        fuzz::check(bestmoves_.empty(), "bestmove after end of input");
    }

private:
    void check_bestmove(const Position& root) {
        std::vector<std::string> lines;
        {
            std::lock_guard lock(mutex_);
            lines.swap(bestmoves_);
        }
        fuzz::check(lines.size() == 1, "a search printed no bestmove or more than one");
        const std::string move = lines[0].substr(0, lines[0].find(' '));
        if (has_legal_move(root))
            fuzz::check(bool(root.parse_uci_move(move)), "bestmove is not a legal move");
        else
            fuzz::check(move == "0000", "bestmove without a legal move is not 0000");
    }

    std::mutex mutex_;
    std::vector<std::string> bestmoves_;
    int searches_ = 0;
    uci::Output output_;
    uci::Engine engine_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init();
    files_dir();
    {
        Run run;
        std::string_view rest(reinterpret_cast<const char*>(data), size);
        for (size_t n = 0; !rest.empty() && n < MAX_LINES; ++n) {
            const size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!uci::is_valid_utf8(line)) break;
            if (!run.line(std::string(uci::trim(line)))) break;
        }
        run.end();
    }
    // The tables are the prober's process-wide state; the next input starts without them.
    Syzygy::unload();
    return 0;
}
