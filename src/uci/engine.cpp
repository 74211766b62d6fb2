#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "bench.h"
#include "movegen.h"
#include "router.h"
#include "router_moe.h"
#include "syzygy.h"
#include "text.h"
#include "voi.h"

namespace velmar::uci {

namespace {

constexpr uint64_t HASH_MAX_MB = 262'144;
constexpr uint64_t THREADS_MAX = 256;
constexpr uint64_t MULTIPV_MAX = 256;
constexpr size_t SEARCH_STACK_BYTES = 64u << 20;

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
    "option name Ponder type check default false",
    "option name SyzygyProbeDepth type spin default 1 min 1 max 100",
    "option name Syzygy50MoveRule type check default true",
    "option name SyzygyProbeLimit type spin default 7 min 0 max 7",
    "option name UCI_Chess960 type check default false",
    "option name UCI_LimitStrength type check default false",
    "option name UCI_Elo type spin default 1500 min 800 max 2800",
};

constexpr int64_t TB_PROBE_DEPTH_MAX = 100;
constexpr int64_t TB_PROBE_LIMIT_MAX = 7;

bool read_bool(const std::string& value) { return ascii_lower(trim(value)) == "true"; }

// A check value, "true" or "false" in any case; anything else is reported and reads as nothing.
std::optional<bool> read_check(const std::string& option, const std::string& value, Output& out) {
    const std::string v = ascii_lower(trim(value));
    if (v == "true" || v == "false") return v == "true";
    out.line("info string " + option + " takes true or false, not '" + value + "'");
    return std::nullopt;
}

// A spin value in [min, max]; anything else is reported and reads as nothing.
std::optional<int64_t> read_spin(const std::string& option, const std::string& value, int64_t min,
                                 int64_t max, Output& out) {
    const std::optional<int64_t> v = parse_i64(value);
    if (v && *v >= min && *v <= max) return v;
    out.line("info string " + option + " takes a whole number from " + std::to_string(min)
             + " to " + std::to_string(max) + ", not '" + value + "'");
    return std::nullopt;
}

std::shared_ptr<TranspositionTable> make_table(uint64_t mb, size_t threads) {
    Result<TranspositionTable> table = TranspositionTable::try_new(mb, threads);
    if (!table.ok()) fatal(table.error().message);
    return std::make_shared<TranspositionTable>(std::move(table.value()));
}

}  // namespace

std::optional<SearchMode> parse_search_mode(std::string_view text) {
    std::string s = ascii_lower(trim(text));
    if (s == "ab" || s == "alphabeta" || s == "alpha-beta") return SearchMode::AB;
    if (s == "voi") return SearchMode::VOI;
    if (s == "gumbel" || s == "gumbelsh" || s == "gumbel-sh" || s == "mcts")
        return SearchMode::GUMBEL_SH;
    return std::nullopt;
}

RootMode root_mode(SearchMode mode) {
    switch (mode) {
    case SearchMode::AB: return RootMode::AB;
    case SearchMode::VOI: return RootMode::VOI;
    default: return RootMode::GUMBEL_SH;
    }
}

const char* display_name(SearchMode mode) {
    switch (mode) {
    case SearchMode::AB: return "AB";
    case SearchMode::VOI: return "VOI";
    default: return "GumbelSH";
    }
}

// The search thread, started with the engine and kept for its whole life. A new thread with
// a 64 MiB stack for every `go` cost a tenth of a millisecond at best and several at the 90th
// percentile under load (tools/go_latency.py), paid on every move of a bullet game.
// A `go` lends it the pool, the position and the limits and raises `busy`; the thread clears
// `busy` once bestmove is out, and the pool goes back. The flags are guarded by `mutex`. The
// job fields are written by the engine only while the thread is idle and read by the thread
// only while busy; taking the mutex on each change of `busy` hands them over.
struct Engine::SearchThread {
    pthread_t handle{};
    Output* out = nullptr;
    std::mutex mutex;
    std::condition_variable wake;  // a job or quit for the thread, the end of a job for the engine
    bool busy = false;
    bool quit = false;
    bool crashed = false;  // the search threw; the thread has left its loop

    std::optional<Pool> pool;
    Position position = Position::startpos();
    SearchLimits limits;
    std::shared_ptr<std::atomic<bool>> stop;
    bool goal_moves = false;
    // UCI_LimitStrength: the move is drawn among the lines of the last iteration.
    struct StrengthPick {
        double temperature = 0;
        uint64_t shown_lines = 1;  // the MultiPV option; the extra lines are not printed
        double draw = 0;           // uniform in [0, 1)
    };
    std::optional<StrengthPick> strength;

    explicit SearchThread(Output& output) : out(&output) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, SEARCH_STACK_BYTES);
        const int rc = pthread_create(&handle, &attr, &SearchThread::entry, this);
        pthread_attr_destroy(&attr);
        if (rc != 0) fatal("spawn search thread");
        pthread_setname_np(handle, "search");
    }

    // Only while idle (or after a crash).
    ~SearchThread() {
        {
            std::lock_guard lock(mutex);
            quit = true;
        }
        wake.notify_all();
        pthread_join(handle, nullptr);
    }

    void start() {
        {
            std::lock_guard lock(mutex);
            busy = true;
        }
        wake.notify_all();
    }

    // Blocks until the job is done; false when the search crashed.
    bool wait() {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return !busy; });
        return !crashed;
    }

    void run() {
        std::visit([&](auto& threads) { run_with(threads); }, *pool);
    }

    template <typename Eval>
    void run_with(ThreadPool<Eval>& threads) {
        const MoveNotation notation = position.notation();
        // The lines of each finished iteration, the last one kept for the strength limit.
        std::vector<IterationInfo> lines, last_lines;
        auto report = [&](const IterationInfo& info) {
            if (strength) {
                if (info.multipv == 1 && !lines.empty()) last_lines = std::move(lines), lines = {};
                lines.push_back(info);
                if (info.multipv > strength->shown_lines) return;
            }
            out->line(format_info(info, notation));
        };
        PoolResult result = threads.search(limits, position, report);
        if (strength) {
            // A lone re-report of the played line after the iterations is not an iteration.
            if (last_lines.size() > lines.size()) lines = std::move(last_lines);
            play_weakened(result.reported, lines, notation);
        }
        // The goal lines continue the main thread's own search, whichever thread's move won.
        if (goal_moves && result.reported.best)
            for (const std::string& line :
                 format_goals(threads.main().goal_lines(result.main), notation))
                out->line(line);
        // An infinite search, and a ponder search before its hit, answer only when asked,
        // however they ended: a bestmove now would answer a move the opponent has not made.
        auto held = [&] {
            return !stop->load()
                   && (limits.infinite || (limits.ponder && !limits.ponder->time()));
        };
        while (held()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        out->line(format_bestmove(result.reported.best, result.reported.ponder, notation));
    }

    // Replaces the best move by one drawn among `lines` (one iteration, best first), and shows
    // the drawn line last, since GUIs expect bestmove to start the last PV printed.
    void play_weakened(SearchResult& played, const std::vector<IterationInfo>& lines,
                       const MoveNotation& notation) {
        std::vector<int32_t> scores;
        for (const IterationInfo& line : lines) {
            if (line.pv.empty()) break;
            scores.push_back(line.score);
        }
        if (scores.empty()) return;
        const size_t i = pick_line(scores, strength->temperature, strength->draw);
        if (i == 0 || lines[i].pv[0] == played.best) return;
        IterationInfo shown = lines[i];
        shown.multipv = 1;
        out->line(format_info(shown, notation));
        played.best = shown.pv[0];
        played.ponder = shown.pv.size() > 1 ? shown.pv[1] : NO_MOVE;
    }

    static void* entry(void* self) {
        auto* t = static_cast<SearchThread*>(self);
        for (;;) {
            {
                std::unique_lock lock(t->mutex);
                t->wake.wait(lock, [&] { return t->busy || t->quit; });
                if (t->quit) return nullptr;
            }
            bool crashed = false;
            try {
                t->run();
            } catch (...) {
                crashed = true;
            }
            {
                std::lock_guard lock(t->mutex);
                t->busy = false;
                t->crashed = crashed;
            }
            t->wake.notify_all();
            if (crashed) return nullptr;
        }
    }
};

bool ends_without_stop(const SearchLimits& limits) {
    return !limits.infinite && (limits.movetime || limits.time || limits.depth || limits.nodes);
}

Engine::Engine(Output& out)
    : out_(out),
      position_(Position::startpos()),
      tt_(make_table(16, 1)),
      network_(DEFAULT_NET.get()),
      stop_(std::make_shared<std::atomic<bool>>(false)),
      search_thread_(std::make_unique<SearchThread>(out)) {
    // Games against a weakened engine should not repeat move for move.
    strength_rng_.state = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())
                          ^ uint64_t(reinterpret_cast<uintptr_t>(this));
    rebuild_pool();
}

Engine::~Engine() { finish_search(); }

void Engine::join_search() {
    if (!searching_) return;
    searching_ = false;
    ponder_.reset();
    if (!search_thread_->wait()) {
        std::fprintf(stderr, "search thread crashed\n");
        std::exit(1);
    }
    pool_ = std::move(search_thread_->pool);
    search_thread_->pool.reset();
}

void Engine::finish_search() {
    if (!searching_) return;
    stop_->exchange(true);
    join_search();
}

Pool& Engine::idle_pool() {
    finish_search();
    if (!pool_) fatal("searcher available when idle");
    return *pool_;
}

size_t Engine::helper_count() const {
    return pool_ ? std::visit([](const auto& threads) { return threads.helper_count(); }, *pool_)
                 : 0;
}

bool Engine::uses_nnue_pool() const {
    return pool_ && std::holds_alternative<ThreadPool<NnueEval>>(*pool_);
}

void Engine::end_of_input() {
    if (searching_ && !search_ends_alone_) stop_->exchange(true);
    join_search();
}

bool Engine::handle(const std::string& line, std::chrono::steady_clock::time_point received) {
    std::vector<std::string> words = split_words(line);
    if (words.empty()) return true;
    const std::string& cmd = words[0];
    std::vector<std::string> args(words.begin() + 1, words.end());

    if (cmd == "uci") {
        cmd_uci();
    } else if (cmd == "isready") {
        out_.line("readyok");
    } else if (cmd == "ucinewgame") {
        clear_pool();
        position_ = Position::startpos(settings_.chess960);
    } else if (cmd == "setoption") {
        set_option(args);
    } else if (cmd == "position") {
        cmd_position(args);
    } else if (cmd == "go") {
        cmd_go(args, received);
    } else if (cmd == "ponderhit") {
        cmd_ponderhit(received);
    } else if (cmd == "stop") {
        finish_search();
    } else if (cmd == "quit") {
        finish_search();
        return false;
    } else if (cmd == "display" || cmd == "d") {
        out_.line(position_.display() + "\n");
    } else if (cmd == "eval") {
        cmd_eval();
    } else if (cmd == "perft") {
        perft(args.empty() ? 1 : parse_u32(args[0]).value_or(1));
    } else if (cmd == "bench") {
        run_bench(args, out_);
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
    // A GUI that moves on without ponderhit or stop gets the ponder search's bestmove first,
    // before anything of the next search, and never after it.
    if (ponder_) finish_search();
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
        position_ = Position::startpos(settings_.chess960);
    } else {
        Result<Position> pos = Position::from_fen(join(args, 1, moves_at), settings_.chess960);
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

GoCommand parse_go(const std::vector<std::string>& args, const Position& pos) {
    GoCommand go;
    SearchLimits& limits = go.limits;
    std::optional<uint64_t> wtime, btime;
    uint64_t winc = 0, binc = 0;
    // A keyword's value is the next word, which is then looked at as a keyword itself (a
    // number never matches one), so "go depth infinite" still means infinite. Numbers too
    // large for 64 bits read as the largest, so a huge limit stays a huge one.
    auto value = [&](size_t i) {
        return i + 1 < args.size() ? parse_i64_saturating(args[i + 1]) : std::nullopt;
    };
    auto at_least = [](std::optional<int64_t> v, int64_t low) {
        return v ? std::optional<uint64_t>(uint64_t(std::max(*v, low))) : std::nullopt;
    };
    auto clock_ms = [&](size_t i, int64_t low) {
        std::optional<uint64_t> ms = at_least(value(i), low);
        return ms ? std::optional<uint64_t>(std::min(*ms, MAX_CLOCK_MS)) : std::nullopt;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& w = args[i];
        if (w == "wtime") {
            wtime = clock_ms(i, 0);
        } else if (w == "btime") {
            btime = clock_ms(i, 0);
        } else if (w == "winc") {
            winc = clock_ms(i, 0).value_or(0);
        } else if (w == "binc") {
            binc = clock_ms(i, 0).value_or(0);
        } else if (w == "movestogo") {
            if (std::optional<uint64_t> v = at_least(value(i), 1))
                limits.movestogo = int32_t(std::min<uint64_t>(*v, INT32_MAX));
            else
                limits.movestogo.reset();
        } else if (w == "depth") {
            if (std::optional<int64_t> v = value(i))
                limits.depth = int32_t(std::clamp<int64_t>(*v, INT32_MIN, INT32_MAX));
            else
                limits.depth.reset();
        } else if (w == "nodes") {
            limits.nodes = at_least(value(i), 1);
        } else if (w == "movetime") {
            limits.movetime = clock_ms(i, 1);
        } else if (w == "infinite") {
            limits.infinite = true;
        } else if (w == "ponder") {
            go.ponder = true;
        } else if (w == "searchmoves") {
            while (i + 1 < args.size()) {
                Move m = pos.parse_uci_move(args[i + 1]);
                if (!m) break;
                limits.searchmoves.push_back(m);
                ++i;
            }
        } else if (w == "perft") {
            go.perft_depth = i + 1 < args.size() ? parse_u32(args[i + 1]).value_or(1) : 1;
            return go;
        }
    }
    const bool white = pos.side_to_move() == WHITE;
    limits.time = white ? wtime : btime;
    limits.inc = white ? winc : binc;
    return go;
}

void Engine::cmd_go(const std::vector<std::string>& args,
                    std::chrono::steady_clock::time_point received) {
    finish_search();
    GoCommand go = parse_go(args, position_);
    if (go.perft_depth) {
        perft(*go.perft_depth);
        return;
    }
    go.limits.start = received;
    if (settings_.limit_strength) {
        const uint64_t nodes = strength_level(settings_.elo).nodes;
        go.limits.nodes = std::min(go.limits.nodes.value_or(nodes), nodes);
    }
    const bool ends_alone = ends_without_stop(go.limits);
    search_ends_alone_ = ends_alone && !go.ponder;
    if (go.ponder) {
        ponder_ = std::make_shared<PonderHit>();
        go.limits.ponder = ponder_;
        ponder_ends_alone_ = ends_alone;
    }

    stop_->store(false);
    SearchThread& t = *search_thread_;
    t.pool = std::move(pool_);
    pool_.reset();
    t.position = position_;
    t.limits = std::move(go.limits);
    t.stop = stop_;
    t.goal_moves = settings_.goal_moves;
    t.strength.reset();
    if (settings_.limit_strength) {
        const StrengthLevel level = strength_level(settings_.elo);
        t.strength = SearchThread::StrengthPick{level.temperature, settings_.multipv,
                                                strength_rng_.uniform()};
    }
    t.start();
    searching_ = true;
}

// The opponent played the expected move: the search goes on as the `go` it came with, its
// clock starting now. One that has already ended prints its move at once.
void Engine::cmd_ponderhit(std::chrono::steady_clock::time_point received) {
    if (!ponder_) return;  // nothing is pondered: a late ponderhit changes nothing
    ponder_->hit(received);
    search_ends_alone_ = ponder_ends_alone_;
    ponder_.reset();
}

void Engine::cmd_eval() {
    std::visit(
        [&](auto& threads) {
            using Eval = std::decay_t<decltype(threads.main().evaluator())>;
            if constexpr (std::is_same_v<Eval, NnueEval>) {
                NnueEval eval = threads.main().evaluator();
                eval.reset(position_);
                out_.line("NNUE eval (side to move): " + std::to_string(eval.evaluate(position_))
                          + " cp");
            } else {
                int32_t white = PstEval::evaluate_white(position_);
                int32_t score = position_.side_to_move() == WHITE ? white : -white;
                out_.line("hand-written eval (side to move): " + std::to_string(score) + " cp");
            }
        },
        idle_pool());
}

void Engine::set_option(const std::vector<std::string>& args) {
    // The name follows "name" (or starts at the first word), the value follows "value".
    auto name_at = std::find(args.begin(), args.end(), "name");
    auto value_at = std::find(args.begin(), args.end(), "value");
    size_t name_begin = name_at == args.end() ? 0 : size_t(name_at - args.begin()) + 1;
    size_t name_end = size_t(value_at - args.begin());
    if (name_end < name_begin) name_end = name_begin;  // "value" before "name": empty name
    std::string name = ascii_lower(join(args, name_begin, name_end));
    std::string value =
        value_at == args.end() ? "" : std::string(trim(join(args, name_end + 1, args.size())));

    auto apply = [&] { apply_settings(); };
    if (name == "clear hash") {
        clear_pool();
    } else if (name == "hash") {
        if (std::optional<uint64_t> mb = parse_u64(value)) set_hash(*mb);
    } else if (name == "threads") {
        if (std::optional<uint64_t> n = parse_u64(value)) {
            settings_.threads = std::clamp<uint64_t>(*n, 1, THREADS_MAX);
            apply();
        }
    } else if (name == "move overhead") {
        if (std::optional<uint64_t> ms = parse_u64(value)) settings_.move_overhead_ms = *ms;
        apply();
    } else if (name == "policymindepth") {
        settings_.policy_min_depth = parse_i32(value).value_or(0);
        apply();
    } else if (name == "routerfile") {
        set_router_file(value);
        apply();
    } else if (name == "routerplies") {
        settings_.router_plies = parse_u64(value).value_or(2);
        apply();
    } else if (name == "routerreduce") {
        settings_.router_reduce = parse_i32(value).value_or(6);
        apply();
    } else if (name == "routerorder") {
        settings_.router_order = value == "true";
        apply();
    } else if (name == "routermindepth") {
        settings_.router_min_depth = parse_i32(value).value_or(2);
        apply();
    } else if (name == "routermode") {
        settings_.router_delta = ascii_lower(value) != "replace";
        apply();
    } else if (name == "routerorderbonus") {
        settings_.router_order_bonus = parse_i32(value).value_or(0);
        apply();
    } else if (name == "routertopk") {
        settings_.router_top_k = parse_u64(value).value_or(0);
        apply();
    } else if (name == "syzygypath") {
        set_syzygy_path(value);
    } else if (name == "usennue") {
        finish_search();
        bool on = read_bool(value);
        if (on != settings_.use_nnue) {
            settings_.use_nnue = on;
            rebuild_pool();
        }
        out_.line(std::string("info string evaluation: ") + (on ? "NNUE" : "hand-written"));
    } else if (name == "evalfile") {
        set_eval_file(value);
    } else if (name == "multipv") {
        if (std::optional<uint64_t> n = parse_u64(value)) {
            settings_.multipv = std::clamp<uint64_t>(*n, 1, MULTIPV_MAX);
            apply();
        }
    } else if (name == "uci_showwdl") {
        settings_.show_wdl = read_bool(value);
        apply();
    } else if (name == "goalmoves") {
        finish_search();
        settings_.goal_moves = read_bool(value);
    } else if (name == "abdada") {
        settings_.abdada = read_bool(value);
        apply();
    } else if (name == "smpmode") {
        if (std::optional<SmpMode> mode = parse_smp_mode(value)) {
            settings_.smp_mode = *mode;
            settings_.abdada = *mode == SmpMode::ABDADA;
            apply();
            out_.line(std::string("info string SMPMode set to ") + display_name(*mode));
        }
    } else if (name == "searchmode") {
        if (std::optional<SearchMode> mode = parse_search_mode(value)) {
            settings_.search_mode = *mode;
            apply();
            out_.line(std::string("info string SearchMode set to ") + display_name(*mode));
        }
    } else if (name == "ponder") {
        if (std::optional<bool> on = read_check("Ponder", value, out_)) settings_.ponder = *on;
    } else if (name == "syzygyprobedepth") {
        if (auto d = read_spin("SyzygyProbeDepth", value, 1, TB_PROBE_DEPTH_MAX, out_)) {
            settings_.tb_use.probe_depth = int32_t(*d);
            apply();
        }
    } else if (name == "syzygy50moverule") {
        if (std::optional<bool> on = read_check("Syzygy50MoveRule", value, out_)) {
            settings_.tb_use.fifty_move_rule = *on;
            apply();
        }
    } else if (name == "syzygyprobelimit") {
        if (auto n = read_spin("SyzygyProbeLimit", value, 0, TB_PROBE_LIMIT_MAX, out_)) {
            settings_.tb_use.probe_limit = uint32_t(*n);
            apply();
        }
    } else if (name == "gumbeltemp") {
        if (std::optional<uint32_t> t = parse_u32(value)) {
            settings_.gumbel_temp = std::min<uint32_t>(*t, 200);
            apply();
        }
    } else if (name == "uci_chess960") {
        // Read by the next position command (and ucinewgame): the position set now keeps the
        // notation it was read with, so its moves stay readable as they were given.
        settings_.chess960 = read_bool(value);
    } else if (name == "uci_limitstrength") {
        if (std::optional<bool> on = read_check("UCI_LimitStrength", value, out_)) {
            settings_.limit_strength = *on;
            apply();
        }
    } else if (name == "uci_elo") {
        if (auto elo = read_spin("UCI_Elo", value, STRENGTH_ELO_MIN, STRENGTH_ELO_MAX, out_)) {
            settings_.elo = int32_t(*elo);
            apply();
        }
    } else {
        out_.line("info string unknown option '" + name + "'");
    }
}

// The old table goes before the new one is made, so a resize never holds both at once.
void Engine::set_hash(uint64_t mb) {
    finish_search();
    const uint64_t old_mb = hash_mb_;
    tt_ = make_table(1, 1);
    apply_settings();
    Result<TranspositionTable> table = TranspositionTable::try_new(mb, settings_.threads);
    if (table.ok()) {
        tt_ = std::make_shared<TranspositionTable>(std::move(table.value()));
        hash_mb_ = std::clamp<uint64_t>(mb, 1, HASH_MAX_MB);
    } else {
        out_.line("info string " + table.error().message + "; keeping Hash "
                  + std::to_string(old_mb) + " MB");
        Result<TranspositionTable> old = TranspositionTable::try_new(old_mb, settings_.threads);
        if (old.ok()) {
            tt_ = std::make_shared<TranspositionTable>(std::move(old.value()));
        } else {
            tt_ = make_table(1, 1);
            hash_mb_ = 1;
        }
    }
    apply_settings();
}

void Engine::set_eval_file(const std::string& value) {
    if (value.empty() || value == "<internal>") {
        out_.line("info string using the built-in network");
        network_ = DEFAULT_NET.get();
    } else {
        Result<std::shared_ptr<const Network>> net = load_network_file(value);
        if (!net.ok()) {
            out_.line("info string cannot use " + value + ": " + net.error().message
                      + "; keeping the current network");
            return;
        }
        out_.line("info string loaded network " + value);
        network_ = net.value();
    }
    if (auto* nnue = std::get_if<ThreadPool<NnueEval>>(&idle_pool()))
        nnue->set_network(network_);
    else
        out_.line("info string the network is used only when UseNNUE is true");
}

void Engine::apply_settings() {
    std::visit(
        [&](auto& threads) {
            // 1, 2. Every thread uses the engine's table from now on.
            threads.set_table(tt_);
            // 3. Mode, clearing threads, helper count.
            threads.set_mode(settings_.smp_mode, settings_.abdada);
            const uint64_t count = std::max<uint64_t>(settings_.threads, 1);
            tt_->set_threads(size_t(count));
            threads.set_helper_count(size_t(count - 1));
            // 4. Work-sharing structures, made anew, with at least two threads: a busy-move
            // table for ABDADA (the mode, or the check option under Lazy SMP), a split pool
            // for YBWC.
            const bool abdada = count >= 2
                                && (settings_.smp_mode == SmpMode::ABDADA
                                    || (settings_.abdada && settings_.smp_mode == SmpMode::LAZY));
            threads.set_busy_moves(abdada ? std::make_shared<BusyMoves>() : nullptr);
            threads.set_ybwc_pool(count >= 2 && settings_.smp_mode == SmpMode::YBWC
                                      ? std::make_shared<YbwcPool>()
                                      : nullptr);
            // 5. Tablebase for every thread.
            threads.set_tablebase(tablebase_, settings_.tb_use);
            // 6. Main searcher settings.
            Searcher<std::decay_t<decltype(threads.main().evaluator())>>& s = threads.main();
            s.set_move_overhead_ms(settings_.move_overhead_ms);
            threads.set_multipv(searched_lines());
            s.set_show_wdl(settings_.show_wdl);
            s.set_search_mode(root_mode(settings_.search_mode));
            s.set_gumbel_temp(double(settings_.gumbel_temp));
            // 7. Move policy: a router replaces the test policy chosen first.
            std::unique_ptr<MovePolicy> policy;
            if (settings_.policy_min_depth < 1) policy = std::make_unique<NoPolicy>();
            else policy = std::make_unique<DummyPolicy>(settings_.policy_min_depth);
            RouterSettings router;
            router.plies = settings_.router_plies;
            router.reduce_scale = settings_.router_reduce / 10.0;
            router.min_depth = settings_.router_min_depth;
            router.order_bonus = settings_.router_order_bonus;
            router.order = settings_.router_order;
            router.delta = settings_.router_delta;
            if (router_moe_net_) {
                const auto top_k = uint32_t(std::min<uint64_t>(settings_.router_top_k, UINT32_MAX));
                policy = std::make_unique<RouterMoePolicy>(router_moe_net_, router, top_k);
            } else if (router_net_) {
                policy = std::make_unique<RouterPolicy>(router_net_, router);
            }
            s.set_policy(std::move(policy));
        },
        idle_pool());
}

void Engine::set_router_file(const std::string& value) {
    if (value.empty() || value == "<empty>") {
        router_net_.reset();
        router_moe_net_.reset();
        settings_.router_file.clear();
        out_.line("info string router off");
        return;
    }
    Result<std::vector<uint8_t>> bytes = read_router_file(value);
    if (!bytes.ok()) {
        out_.line("info string cannot use router " + value + ": " + bytes.error().message);
        return;
    }
    const std::vector<uint8_t>& data = bytes.value();
    if (data.size() > 3 && std::memcmp(data.data(), "KWT5", 4) == 0) {
        Result<RouterMoeNet> net = RouterMoeNet::from_bytes(data);
        if (!net.ok()) {
            out_.line("info string cannot use KWT5 router " + value + ": " + net.error().message);
            return;
        }
        finish_search();
        router_moe_net_ = std::make_shared<const RouterMoeNet>(std::move(net.value()));
        router_net_.reset();
        out_.line("info string loaded KWT5 MoE router " + value + " (C="
                  + std::to_string(router_moe_net_->channels()) + " B="
                  + std::to_string(router_moe_net_->blocks()) + " E="
                  + std::to_string(router_moe_net_->experts()) + ")");
    } else {
        Result<RouterNet> net = RouterNet::from_bytes(data);
        if (!net.ok()) {
            out_.line("info string cannot use router " + value + ": " + net.error().message);
            return;
        }
        finish_search();
        router_net_ = std::make_shared<const RouterNet>(std::move(net.value()));
        router_moe_net_.reset();
        out_.line("info string loaded router " + value + " (hidden "
                  + std::to_string(router_net_->hidden()) + ")");
    }
    settings_.router_file = value;
}

// The old tables are dropped by every searcher before the prober loads or unloads, since
// the mappings are process-wide.
void Engine::set_syzygy_path(const std::string& value) {
    finish_search();
    tablebase_.reset();
    apply_settings();
    if (value.empty() || value == "<empty>") {
        settings_.syzygy_path.clear();
        Syzygy::unload();
        return;
    }
    Result<Syzygy> tb = Syzygy::load(value);
    if (!tb.ok()) {
        settings_.syzygy_path.clear();
        out_.line("info string " + tb.error().message);
        return;
    }
    settings_.syzygy_path = value;
    out_.line("info string loaded Syzygy tables up to " + std::to_string(tb.value().max_pieces())
              + " pieces");
    tablebase_ = std::make_shared<Syzygy>(tb.value());
    apply_settings();
}

void Engine::rebuild_pool() {
    finish_search();
    // The old helpers quit and free their tables before the new pool takes memory.
    pool_.reset();
    if (settings_.use_nnue)
        pool_.emplace(std::in_place_type<ThreadPool<NnueEval>>, NnueEval(network_), tt_, stop_);
    else
        pool_.emplace(std::in_place_type<ThreadPool<PstEval>>, PstEval(), tt_, stop_);
    std::visit([](auto& threads) { threads.main().clear(); }, *pool_);
    apply_settings();
}

int Engine::searched_lines() const {
    const int shown = int(settings_.multipv);
    return settings_.limit_strength ? std::max(shown, strength_level(settings_.elo).lines) : shown;
}

void Engine::clear_pool() {
    std::visit([](auto& threads) { threads.clear(); }, idle_pool());
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
        out_.line(position_.move_text(m) + ": " + std::to_string(count));
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    uint64_t ms = std::max<uint64_t>(1, uint64_t(elapsed));
    out_.line("\nNodes searched: " + std::to_string(total) + "  (" + std::to_string(ms) + " ms, "
              + std::to_string(total * 1000 / ms) + " nps)");
}

void run_bench(const std::vector<std::string>& args, Output& out) {
    int depth = 11;
    for (const std::string& a : args) {
        if (std::optional<int32_t> d = parse_i32(a)) {
            depth = *d;
            break;
        }
    }
    bool verbose = std::find(args.begin(), args.end(), "verbose") != args.end();
    bool hce = std::find(args.begin(), args.end(), "hce") != args.end();
    bench::BenchResult result = hce ? bench::run(depth)
                                    : bench::run_with(depth, NnueEval(DEFAULT_NET.get()));
    for (const std::string& line : format_bench(result, depth, verbose)) out.line(line);
}

}  // namespace velmar::uci
