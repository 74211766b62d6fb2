// Self-play data for training the evaluation network. Each thread plays whole games with the
// engine's own search at a soft node limit per move, starting from a few random plies (after an
// opening from an EPD file when one is given, else from the standard start position or a random
// Chess960 one), and appends every finished game's quiet positions to one output file in the
// 32-byte format of record.h. Games are adjudicated once the search agrees for several plies
// that they are decided, so little time goes into converting won endings.
//
// Usage:
//   datagen --out FILE [--positions N] [--threads N] [--nodes N] [--random-plies N]
//           [--openings FILE.epd] [--start standard|960|double960] [--net FILE.nnue]
//           [--hash MB] [--seed N]
// Without --net the hand-written evaluation plays. --start 960 begins each game from one of the
// 960 Chess960 start positions at random, double960 arranges white's and black's pieces
// independently; both play by Chess960 castling rules, openings from a file included. Stop with
// Ctrl-C (or SIGTERM): the game in progress is dropped and everything written so far stays valid.
// Running the same command again appends and counts what is already in the file towards
// --positions.
//
// Started by an MPI launcher (`mpirun -np N datagen --out DIR ...`, any number of machines),
// the N ranks play independently: --out names a directory, each rank writes its own shard
// DIR/rank-R.bin with a seed derived from the base seed and R, aims at its share of
// --positions, and rank 0 prints the total when all have stopped. The trainer reads the
// directory as a whole.
#include "record.h"

#include "eval.h"
#include "movegen.h"
#include "nnue.h"
#include "search.h"
#include "tt.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifdef VELMAR_MPI
#include <mpi.h>
#endif

using namespace velmar;
using training::PackedPosition;

namespace {

// Set by the signal handler only; the workers poll it between moves.
volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_signal(int) { interrupted = 1; }

enum class Start { STANDARD, CHESS960, DOUBLE_CHESS960 };

struct Options {
    std::string out;
    std::string openings;
    std::string net;
    uint64_t positions = 100'000'000;
    int threads = 1;
    uint64_t nodes = 5000;
    int random_plies = 8;
    uint64_t hash_mb = 8;
    uint64_t seed = 0;
    Start start = Start::STANDARD;
};

// Adjudication. A win needs the search to see at least WIN_SCORE for the same side on
// WIN_PLIES consecutive plies; a draw needs |score| <= DRAW_SCORE for DRAW_PLIES plies once
// the game is DRAW_FROM_PLY plies old. Openings whose first search is beyond OPENING_LIMIT
// are thrown away, since a lopsided start teaches little.
constexpr int32_t WIN_SCORE = 1500;
constexpr int WIN_PLIES = 6;
constexpr int32_t DRAW_SCORE = 10;
constexpr int DRAW_PLIES = 12;
constexpr int DRAW_FROM_PLY = 80;
constexpr int MAX_PLIES = 400;
constexpr int32_t OPENING_LIMIT = 1000;
constexpr uint64_t OPENING_NODES = 2000;

struct Shared {
    explicit Shared(const Options& o) : opt(o) {}

    const Options& opt;
    std::vector<std::string> book;
    std::shared_ptr<const Network> net;
    std::FILE* out = nullptr;
    std::mutex out_mutex;
    std::atomic<uint64_t> positions{0}; // in the file, earlier runs included
    std::atomic<uint64_t> games{0};     // this run
    std::atomic<uint64_t> nodes{0};     // this run
};

// Two earlier occurrences of the current position, within the reversible plies.
bool threefold(const Position& pos) {
    const auto& states = pos.states();
    const int n = int(std::min<size_t>(pos.halfmove_clock(), states.size()));
    int seen = 0;
    for (int k = 4; k <= n; k += 2)
        if (states[states.size() - size_t(k)].key == pos.key() && ++seen == 2) return true;
    return false;
}

bool insufficient_material(const Position& pos) {
    if (pos.by_type(PAWN) | pos.by_type(ROOK) | pos.by_type(QUEEN)) return false;
    return !more_than_one(pos.by_type(KNIGHT) | pos.by_type(BISHOP));
}

template <typename Eval>
class Worker {
public:
    Worker(Shared& shared, Eval eval, uint64_t seed)
        : shared_(shared), rng_(seed), table_(std::make_shared<TranspositionTable>(shared.opt.hash_mb)),
          stop_(std::make_shared<std::atomic<bool>>(false)),
          searcher_(std::move(eval), table_, stop_) {}

    void run() {
        while (!interrupted && shared_.positions.load() < shared_.opt.positions) play_game();
    }

private:
    // Search with a soft node limit: no iteration starts past `soft` nodes; a hard cap keeps a
    // runaway iteration bounded.
    SearchResult search(const Position& pos, uint64_t soft) {
        stop_->store(false);
        SearchLimits limits;
        limits.nodes = soft * 8;
        const auto report = [&](const IterationInfo& info) {
            if (info.nodes >= soft) stop_->store(true);
        };
        SearchResult r = searcher_.search(limits, pos, report);
        shared_.nodes += r.nodes;
        return r;
    }

    bool random_ply(Position& pos) {
        MoveList list;
        generate_all(pos, list);
        if (list.size() == 0) return false;
        pos.make_move(list.begin()[std::uniform_int_distribution<int>(0, list.size() - 1)(rng_)]);
        return true;
    }

    // A playable start: a book line (when given) plus random plies, with legal moves left
    // and a roughly balanced first search.
    Position opening() {
        const Start start = shared_.opt.start;
        const bool chess960 = start != Start::STANDARD;
        for (;;) {
            Position pos = Position::startpos(chess960);
            if (chess960) {
                std::uniform_int_distribution<int> number(0, 959);
                const int white = number(rng_);
                const int black = start == Start::DOUBLE_CHESS960 ? number(rng_) : white;
                pos = Position::from_fen(chess960_start_fen(white, black), true).value();
            }
            if (!shared_.book.empty()) {
                const auto& fen = shared_.book[std::uniform_int_distribution<size_t>(
                    0, shared_.book.size() - 1)(rng_)];
                auto parsed = Position::from_fen(fen, chess960);
                if (!parsed.ok()) continue;
                pos = parsed.value();
            }
            bool ok = true;
            for (int i = 0; i < shared_.opt.random_plies && ok; ++i) ok = random_ply(pos);
            if (!ok || !has_legal_move(pos)) continue;
            searcher_.clear();
            const SearchResult r = search(pos, OPENING_NODES);
            if (std::abs(r.score) <= OPENING_LIMIT) return pos;
        }
    }

    void play_game() {
        Position pos = opening();
        searcher_.clear();
        table_->clear();
        game_.clear();
        uint8_t result = training::RESULT_DRAW;
        int win_streak = 0, draw_streak = 0; // win_streak > 0: White ahead, < 0: Black
        for (int ply = 0;; ++ply) {
            if (interrupted) return;
            if (!has_legal_move(pos)) {
                if (pos.in_check())
                    result = pos.side_to_move() == WHITE ? training::RESULT_BLACK_WINS
                                                         : training::RESULT_WHITE_WINS;
                break;
            }
            if (ply >= MAX_PLIES || pos.halfmove_clock() >= 100 || threefold(pos)
                || insufficient_material(pos))
                break;

            const SearchResult r = search(pos, shared_.opt.nodes);
            const int32_t white = pos.side_to_move() == WHITE ? r.score : -r.score;
            if (std::abs(r.score) >= SCORE_MATE_BOUND) {
                result = white > 0 ? training::RESULT_WHITE_WINS : training::RESULT_BLACK_WINS;
                break;
            }
            if (!pos.in_check() && !r.best.is_noisy())
                game_.push_back(training::pack(pos, white, r.best, 0, uint16_t(ply)));

            if (white >= WIN_SCORE)
                win_streak = std::max(win_streak, 0) + 1;
            else if (white <= -WIN_SCORE)
                win_streak = std::min(win_streak, 0) - 1;
            else
                win_streak = 0;
            if (win_streak >= WIN_PLIES) {
                result = training::RESULT_WHITE_WINS;
                break;
            }
            if (win_streak <= -WIN_PLIES) {
                result = training::RESULT_BLACK_WINS;
                break;
            }
            draw_streak = ply >= DRAW_FROM_PLY && std::abs(white) <= DRAW_SCORE ? draw_streak + 1 : 0;
            if (draw_streak >= DRAW_PLIES) break;

            pos.make_move(r.best);
        }
        for (auto& rec : game_) rec.result = result;
        std::lock_guard lock(shared_.out_mutex);
        if (interrupted) return;
        std::fwrite(game_.data(), sizeof(PackedPosition), game_.size(), shared_.out);
        std::fflush(shared_.out);
        shared_.positions += game_.size();
        ++shared_.games;
    }

    Shared& shared_;
    std::mt19937_64 rng_;
    std::shared_ptr<TranspositionTable> table_;
    std::shared_ptr<std::atomic<bool>> stop_;
    Searcher<Eval> searcher_;
    std::vector<PackedPosition> game_;
};

template <typename Eval>
void run_worker(Shared& shared, Eval eval, uint64_t seed) {
    Worker<Eval>(shared, std::move(eval), seed).run();
}

// An empty message is a request for help: usage goes to standard output and the exit is clean.
[[noreturn]] void usage(const char* message) {
    const bool help = *message == '\0';
    std::fprintf(help ? stdout : stderr,
                 "%s%susage: datagen --out FILE [--positions N] [--threads N] [--nodes N]\n"
                 "               [--random-plies N] [--openings FILE.epd]\n"
                 "               [--start standard|960|double960] [--net FILE.nnue]\n"
                 "               [--hash MB] [--seed N]\n",
                 message, help ? "" : "\n");
    std::exit(help ? 0 : 2);
}

Start parse_start(const std::string& value) {
    if (value == "standard") return Start::STANDARD;
    if (value == "960") return Start::CHESS960;
    if (value == "double960") return Start::DOUBLE_CHESS960;
    usage(("unknown start " + value + " (standard, 960 or double960)").c_str());
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--help" || key == "-h") usage("");
        if (i + 1 >= argc) usage(("missing value for " + key).c_str());
        const std::string value = argv[++i];
        const auto number = [&] { return std::strtoull(value.c_str(), nullptr, 10); };
        if (key == "--out") o.out = value;
        else if (key == "--openings") o.openings = value;
        else if (key == "--net") o.net = value;
        else if (key == "--positions") o.positions = number();
        else if (key == "--threads") o.threads = std::max(1, int(number()));
        else if (key == "--nodes") o.nodes = std::max<uint64_t>(1, number());
        else if (key == "--random-plies") o.random_plies = int(number());
        else if (key == "--hash") o.hash_mb = std::max<uint64_t>(1, number());
        else if (key == "--seed") o.seed = number();
        else if (key == "--start") o.start = parse_start(value);
        else usage(("unknown option " + key).c_str());
    }
    if (o.out.empty()) usage("--out is required");
    return o;
}

// This process's place among the ranks of an MPI launch; a plain run is rank 0 of 1.
struct Ranks {
    int rank = 0;
    int size = 1;
};

// MPI starts only when a launcher's environment is there, so that a plain run stays exactly a
// plain process (no runtime to contact, no singleton set-up).
Ranks start_ranks(int* argc, char*** argv) {
    Ranks r;
#ifdef VELMAR_MPI
    const char* launched[] = {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_SIZE"};
    if (std::none_of(std::begin(launched), std::end(launched), [](const char* v) { return std::getenv(v); }))
        return r;
    MPI_Init(argc, argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &r.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &r.size);
#else
    (void)argc;
    (void)argv;
#endif
    return r;
}

// Rank 0's value for every rank, so that one printed seed repeats the whole run.
uint64_t agree_on_seed(const Ranks& ranks, uint64_t seed) {
#ifdef VELMAR_MPI
    if (ranks.size > 1) MPI_Bcast(&seed, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
#else
    (void)ranks;
#endif
    return seed;
}

// The sum over the ranks, known to rank 0.
uint64_t total_over_ranks(const Ranks& ranks, uint64_t value) {
#ifdef VELMAR_MPI
    if (ranks.size > 1) {
        uint64_t sum = 0;
        MPI_Reduce(&value, &sum, 1, MPI_UINT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
        return sum;
    }
#else
    (void)ranks;
#endif
    return value;
}

void finish_ranks() {
#ifdef VELMAR_MPI
    int started = 0;
    MPI_Initialized(&started);
    if (started) MPI_Finalize();
#endif
}

std::string clock_text(double seconds) {
    const long s = long(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    init_attacks();
    const Ranks ranks = start_ranks(&argc, &argv);
    Options opt = parse(argc, argv);
    const std::string out_dir = opt.out;
    if (ranks.size > 1) {
        std::error_code ec;
        std::filesystem::create_directories(out_dir, ec);
        if (!std::filesystem::is_directory(out_dir, ec))
            usage(("cannot make the directory " + out_dir).c_str());
        char shard[32];
        std::snprintf(shard, sizeof shard, "rank-%d.bin", ranks.rank);
        opt.out = (std::filesystem::path(out_dir) / shard).string();
        // The target is shared out; the first ranks take the remainder.
        const uint64_t share = opt.positions / uint64_t(ranks.size);
        opt.positions = share + (uint64_t(ranks.rank) < opt.positions % uint64_t(ranks.size) ? 1 : 0);
    }
    Shared shared(opt);

    if (!opt.openings.empty()) {
        std::ifstream in(opt.openings);
        if (!in) usage(("cannot read " + opt.openings).c_str());
        for (std::string line; std::getline(in, line);)
            if (line.find('/') != std::string::npos) shared.book.push_back(line);
    }
    if (!opt.net.empty()) {
        auto loaded = load_network_file(opt.net);
        if (!loaded.ok()) usage(("cannot use " + opt.net + ": " + loaded.error().message).c_str());
        shared.net = loaded.value();
    }

    // Resume: keep whole records only, then append.
    std::error_code ec;
    uint64_t bytes = std::filesystem::exists(opt.out, ec) ? std::filesystem::file_size(opt.out, ec) : 0;
    if (bytes % sizeof(PackedPosition)) {
        bytes -= bytes % sizeof(PackedPosition);
        std::filesystem::resize_file(opt.out, bytes, ec);
    }
    shared.positions = bytes / sizeof(PackedPosition);
    shared.out = std::fopen(opt.out.c_str(), "ab");
    if (!shared.out) usage(("cannot write " + opt.out).c_str());

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    const uint64_t start_positions = shared.positions.load();
    const uint64_t base_seed = agree_on_seed(
        ranks, opt.seed ? opt.seed : uint64_t(std::chrono::system_clock::now().time_since_epoch().count()));
    // Rank 0 of 1 keeps the base seed itself, so a plain run repeats a plain run.
    const uint64_t seed = base_seed ^ (uint64_t(ranks.rank) * 0xBF58476D1CE4E5B9ULL);
    const char* start_name = opt.start == Start::STANDARD   ? "standard start"
                             : opt.start == Start::CHESS960 ? "Chess960 starts"
                                                            : "double Chess960 starts";
    if (ranks.size > 1)
        std::printf("datagen: rank %d of %d, seed %llu\n", ranks.rank, ranks.size, (unsigned long long)base_seed);
    std::printf("datagen: %s, %llu positions already there, target %llu, %d thread(s), %llu nodes, %s, %s\n",
                opt.out.c_str(), (unsigned long long)start_positions,
                (unsigned long long)opt.positions, opt.threads, (unsigned long long)opt.nodes,
                shared.net ? opt.net.c_str() : "hand-written evaluation", start_name);
    std::fflush(stdout);

    std::vector<std::thread> threads;
    for (int i = 0; i < opt.threads; ++i) {
        const uint64_t s = seed * 0x9E3779B97F4A7C15ULL + uint64_t(i) * 0xD1B54A32D192ED03ULL;
        if (shared.net)
            threads.emplace_back([&shared, s] { run_worker(shared, NnueEval(shared.net), s); });
        else
            threads.emplace_back([&shared, s] { run_worker(shared, PstEval(), s); });
    }

    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    const std::string rank_prefix = ranks.size > 1 ? "rank " + std::to_string(ranks.rank) + ": " : "";
    std::thread progress([&] {
        auto last = start;
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const auto now = std::chrono::steady_clock::now();
            if (!done && now - last < std::chrono::seconds(30)) continue;
            last = now;
            const double secs = std::chrono::duration<double>(now - start).count();
            const uint64_t total = shared.positions.load();
            const double rate = double(total - start_positions) / std::max(secs, 1e-9);
            const double left = total < opt.positions && rate > 0 ? double(opt.positions - total) / rate : 0;
            std::printf("%spositions %llu games %llu  %.0f pos/s  %.0f knps  elapsed %s  eta %s\n",
                        rank_prefix.c_str(), (unsigned long long)total, (unsigned long long)shared.games.load(), rate,
                        double(shared.nodes.load()) / std::max(secs, 1e-9) / 1000.0,
                        clock_text(secs).c_str(), clock_text(left).c_str());
            std::fflush(stdout);
        }
    });
    for (auto& t : threads) t.join();
    done = true;
    progress.join();
    std::fclose(shared.out);
    std::printf("datagen: stopped with %llu positions in %s\n",
                (unsigned long long)shared.positions.load(), opt.out.c_str());
    if (ranks.size > 1) {
        std::fflush(stdout);
        const uint64_t total = total_over_ranks(ranks, shared.positions.load());
        const uint64_t games = total_over_ranks(ranks, shared.games.load());
        if (ranks.rank == 0)
            std::printf("datagen: %d ranks stopped with %llu positions in %s (%llu games this run)\n",
                        ranks.size, (unsigned long long)total, out_dir.c_str(), (unsigned long long)games);
    }
    finish_ranks();
    return 0;
}
