// Games between two UCI engines at a clock, with pondering. The rules are the engine
// library's own: legal moves, checkmate, stalemate, the fifty-move rule, threefold repetition
// and bare material. Openings come from an EPD file, each played twice with colours swapped.
//
// Usage:
//   ponderplay [--games N] [--tc BASE+INC] [--openings FILE.epd] [--pgn FILE]
//              [--ponder both|first|second|none] [--option NAME=VALUE]... ENGINE1 ENGINE2
// ENGINE1 and ENGINE2 are shell commands. BASE and INC are seconds (default 10+0.1); every
// --option is sent to both engines. The report gives the first engine's W/D/L and Elo with a
// 95% interval, time losses, illegal moves and each engine's ponder hit rate.
//
// Pondering: after an engine's bestmove with a ponder move, it is sent the position after
// both moves and `go ponder` with the clocks as they stand. When the opponent's move comes,
// a match gets `ponderhit` and the engine's clock runs from then; a miss gets `stop`, the
// ponder search's bestmove is read and dropped, and a normal go follows. Time spent pondering
// is never charged to the pondering engine.
#include "attacks.h"
#include "movegen.h"
#include "position.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace velmar;
using Clock = std::chrono::steady_clock;

namespace {

// How long an engine may take to answer a command that is not a move (uci, isready, stop).
constexpr auto ANSWER_MS = std::chrono::milliseconds(10'000);

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "ponderplay: %s\n", problem.c_str());
    std::fprintf(
        stderr, "usage: ponderplay [--games N] [--tc BASE+INC] [--openings FILE.epd] [--pgn FILE]\n"
                "                  [--ponder both|first|second|none] [--option NAME=VALUE]...\n"
                "                  [--resign MOVES CP] [--draw FROM_MOVE MOVES CP]\n"
                "                  ENGINE1 ENGINE2\n");
    std::exit(2);
}

struct Options {
    std::vector<std::string> engines;
    std::vector<std::string> options;  // "Name=Value"
    std::string openings;
    std::string pgn;
    int games = 2;
    int64_t base_ms = 10'000;
    int64_t inc_ms = 100;
    bool ponders[2] = {true, true};
    // Adjudication, off at 0: an engine whose own score stays at or below -resign_cp for
    // resign_moves of its moves loses; from move draw_from on, a game where both engines'
    // scores stay within draw_cp of 0 for draw_moves moves each is drawn.
    int resign_moves = 0, resign_cp = 0;
    int draw_from = 0, draw_moves = 0, draw_cp = 0;
};

std::vector<std::string> words_of(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// One engine process behind two pipes. Lines are read with a deadline, so a silent engine
// costs its game instead of hanging the match.
class Engine {
public:
    bool start(const std::string& command) {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(to_child[0], STDIN_FILENO);
            dup2(from_child[1], STDOUT_FILENO);
            close(to_child[0]);
            close(to_child[1]);
            close(from_child[0]);
            close(from_child[1]);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        in_ = to_child[1];
        out_ = from_child[0];
        return true;
    }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(in_, text.data() + done, text.size() - done);
            if (n <= 0) return;  // the engine has gone; reading will say so
            done += size_t(n);
        }
    }

    // The next line, or nothing at the deadline or when the engine has closed its output.
    std::optional<std::string> read_line(Clock::time_point deadline) {
        for (;;) {
            const size_t eol = buffer_.find('\n');
            if (eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() < 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            const int ready = poll(&p, 1, int(std::min<int64_t>(left.count() + 1, 1'000'000)));
            if (ready < 0) return std::nullopt;
            if (ready == 0) continue;
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, size_t(n));
        }
    }

    // Reads until a line starting with `prefix`; nothing at the deadline. The scores of the
    // info lines passed over are kept in `score`.
    std::optional<std::string> wait_for(const std::string& prefix, Clock::time_point deadline) {
        while (std::optional<std::string> line = read_line(deadline)) {
            if (line->rfind(prefix, 0) == 0) return line;
            if (line->rfind("info ", 0) == 0) note_score(*line);
        }
        return std::nullopt;
    }

    void quit() {
        if (pid_ <= 0) return;
        send("quit");
        close(in_);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                break;
            }
            usleep(20'000);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        pid_ = 0;
    }

    std::string name;
    std::optional<int> score;  // the last one reported, in centipawns from the engine's side

private:
    void note_score(const std::string& line) {
        const std::vector<std::string> w = words_of(line);
        for (size_t i = 0; i + 2 < w.size(); ++i) {
            if (w[i] != "score") continue;
            const int v = std::atoi(w[i + 2].c_str());
            if (w[i + 1] == "cp") score = v;
            if (w[i + 1] == "mate") score = v > 0 ? 100'000 - v : -100'000 - v;
            return;
        }
    }

    pid_t pid_ = 0;
    int in_ = -1, out_ = -1;
    std::string buffer_;
};

struct Stats {
    int time_losses = 0;
    int illegal_moves = 0;
    int ponder_tries = 0;
    int ponder_hits = 0;
};

// SAN for the PGN, with the disambiguation and the check or mate mark.
std::string san(Position& pos, Move m) {
    std::string s;
    const Piece piece = pos.piece_on(m.from());
    const PieceType type = type_of(piece);
    if (m.is_castling()) {
        s = file_of(m.to()) > file_of(m.from()) ? "O-O" : "O-O-O";
    } else {
        if (type != PAWN) {
            s += "PNBRQK"[type];
            MoveList legal;
            generate_all(pos, legal);
            bool rival = false, same_file = false, same_rank = false;
            for (Move o : legal) {
                if (o == m || o.to() != m.to() || pos.piece_on(o.from()) != piece) continue;
                rival = true;
                same_file |= file_of(o.from()) == file_of(m.from());
                same_rank |= rank_of(o.from()) == rank_of(m.from());
            }
            if (rival && !same_file)
                s += char('a' + file_of(m.from()));
            else if (rival && !same_rank)
                s += char('1' + rank_of(m.from()));
            else if (rival)
                s += square_text(m.from());
        } else if (m.is_capture()) {
            s += char('a' + file_of(m.from()));
        }
        if (m.is_capture()) s += 'x';
        s += square_text(m.to());
        if (m.is_promotion()) {
            s += '=';
            s += "PNBRQK"[m.promoted()];
        }
    }
    pos.make_move(m);
    if (pos.in_check()) s += has_legal_move(pos) ? "+" : "#";
    pos.unmake_move(m);
    return s;
}

// The third occurrence of the position with the same side to move, castling and en passant
// rights, all of which the key holds.
bool threefold(const Position& pos) {
    const std::vector<State>& states = pos.states();
    const int n = int(std::min<size_t>(pos.halfmove_clock(), states.size()));
    int seen = 1;
    for (int k = 2; k <= n; k += 2)
        if (states[states.size() - size_t(k)].key == pos.key()) ++seen;
    return seen >= 3;
}

// No side can mate: no pawns, rooks or queens, and at most one minor piece.
bool bare_material(const Position& pos) {
    if (pos.by_type(PAWN) | pos.by_type(ROOK) | pos.by_type(QUEEN)) return false;
    return popcount(pos.by_type(KNIGHT) | pos.by_type(BISHOP)) <= 1;
}

// "1-0", "0-1" or "1/2-1/2" with the reason, or nothing while the game goes on.
std::optional<std::pair<std::string, std::string>> game_over(const Position& pos) {
    if (!has_legal_move(pos)) {
        if (!pos.in_check()) return std::pair{std::string("1/2-1/2"), std::string("stalemate")};
        return std::pair{std::string(pos.side_to_move() == WHITE ? "0-1" : "1-0"),
                         std::string("checkmate")};
    }
    if (pos.halfmove_clock() >= 100)
        return std::pair{std::string("1/2-1/2"), std::string("fifty-move rule")};
    if (threefold(pos))
        return std::pair{std::string("1/2-1/2"), std::string("threefold repetition")};
    if (bare_material(pos))
        return std::pair{std::string("1/2-1/2"), std::string("insufficient material")};
    return std::nullopt;
}

// Openings as FENs: the first four EPD fields, plus the counters when the line has them.
std::vector<std::string> read_openings(const std::string& path) {
    if (path.empty()) return {Position::startpos().to_fen()};
    std::ifstream in(path);
    if (!in) usage("cannot read " + path);
    std::vector<std::string> out;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> w = words_of(line);
        if (w.size() < 4) continue;
        std::string fen = w[0] + " " + w[1] + " " + w[2] + " " + w[3];
        auto number_word = [](const std::string& s) {
            return !s.empty()
                   && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        const bool counters = w.size() >= 6 && number_word(w[4]) && number_word(w[5]);
        fen += counters ? " " + w[4] + " " + w[5] : " 0 1";
        Result<Position> pos = Position::from_fen(fen);
        if (!pos.ok()) {
            std::fprintf(stderr, "ponderplay: %s line %d skipped: %s\n", path.c_str(), number,
                         pos.error().message.c_str());
            continue;
        }
        if (!game_over(pos.value())) out.push_back(fen);
    }
    if (out.empty()) usage("no playable opening in " + path);
    return out;
}

struct GameResult {
    std::string result;  // from White's view
    std::string reason;
    std::vector<std::string> san_moves;
};

class Match {
public:
    Match(const Options& o, Engine* engines) : o_(o), e_(engines) {}

    // One game; `white` is the index of the engine playing White.
    GameResult play(const std::string& opening, int white) {
        for (int i = 0; i < 2; ++i) {
            e_[i].send("ucinewgame");
            e_[i].send("isready");
            if (!e_[i].wait_for("readyok", Clock::now() + ANSWER_MS))
                return forfeit(i, white, "engine stalled", {});
            pondering_[i] = false;
            scores_[i].clear();
        }
        Position pos = Position::from_fen(opening).value();
        std::vector<std::string> moves, sans;
        int64_t clock_ms[2] = {o_.base_ms, o_.base_ms};  // by engine index
        Move last;
        for (;;) {
            if (auto over = game_over(pos)) return finish({over->first, over->second, sans});
            const int side = pos.side_to_move() == WHITE ? white : 1 - white;
            Engine& e = e_[side];
            auto go_args = [&] {
                const int64_t w = clock_ms[white], b = clock_ms[1 - white];
                return "wtime " + std::to_string(std::max<int64_t>(w, 0)) + " btime "
                       + std::to_string(std::max<int64_t>(b, 0)) + " winc "
                       + std::to_string(o_.inc_ms) + " binc " + std::to_string(o_.inc_ms);
            };
            Clock::time_point start;
            if (pondering_[side] && last == expected_[side]) {
                e.send("ponderhit");
                start = Clock::now();
                ++stats_[side].ponder_hits;
            } else {
                if (pondering_[side]) {
                    e.send("stop");
                    if (!e.wait_for("bestmove", Clock::now() + ANSWER_MS))
                        return forfeit(side, white, "engine stalled", sans);
                }
                e.score.reset();
                e.send(position_command(opening, moves));
                e.send("go " + go_args());
                start = Clock::now();
            }
            pondering_[side] = false;

            const auto deadline =
                start + std::chrono::milliseconds(std::max<int64_t>(clock_ms[side], 0));
            std::optional<std::string> answer = e.wait_for("bestmove", deadline);
            const int64_t used =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            clock_ms[side] -= used;
            if (!answer || clock_ms[side] < 0) {
                ++stats_[side].time_losses;
                if (!answer) {
                    e.send("stop");
                    e.wait_for("bestmove", Clock::now() + ANSWER_MS);
                }
                return forfeit(side, white, "time forfeit", sans);
            }
            clock_ms[side] += o_.inc_ms;

            const std::vector<std::string> w = words_of(*answer);
            const Move m = w.size() >= 2 ? pos.parse_uci_move(w[1]) : NO_MOVE;
            if (!m) {
                ++stats_[side].illegal_moves;
                return forfeit(side, white, "illegal move " + (w.size() >= 2 ? w[1] : ""), sans);
            }
            sans.push_back(san(pos, m));
            pos.make_move(m);
            moves.push_back(m.text());
            last = m;
            scores_[side].push_back(e.score);
            if (auto over = adjudicate(pos, side, white))
                return finish({over->first, over->second, sans});

            if (o_.ponders[side] && w.size() >= 4 && w[2] == "ponder" && !game_over(pos)) {
                const Move guess = pos.parse_uci_move(w[3]);
                if (guess) {
                    std::vector<std::string> line = moves;
                    line.push_back(guess.text());
                    e.send(position_command(opening, line));
                    e.send("go ponder " + go_args());
                    pondering_[side] = true;
                    expected_[side] = guess;
                    ++stats_[side].ponder_tries;
                }
            }
        }
    }

    const Stats& stats(int i) const { return stats_[i]; }

private:
    // Whether the last `n` scores of engine `i` all satisfy `ok`.
    bool last_scores(int i, int n, auto ok) const {
        const std::vector<std::optional<int>>& s = scores_[i];
        if (n <= 0 || int(s.size()) < n) return false;
        for (size_t k = s.size() - size_t(n); k < s.size(); ++k)
            if (!s[k] || !ok(*s[k])) return false;
        return true;
    }

    // The adjudicated result after engine `mover` has moved, if the scores call for one.
    std::optional<std::pair<std::string, std::string>> adjudicate(const Position& pos, int mover,
                                                                  int white) const {
        if (last_scores(mover, o_.resign_moves, [&](int v) { return v <= -o_.resign_cp; }))
            return std::pair{std::string(mover == white ? "0-1" : "1-0"),
                             std::string("adjudication: resigns")};
        const auto level = [&](int v) { return std::abs(v) <= o_.draw_cp; };
        if (o_.draw_moves > 0 && int(pos.fullmove_number()) >= o_.draw_from
            && last_scores(0, o_.draw_moves, level) && last_scores(1, o_.draw_moves, level))
            return std::pair{std::string("1/2-1/2"), std::string("adjudication: draw")};
        return std::nullopt;
    }

    static std::string position_command(const std::string& opening,
                                        const std::vector<std::string>& moves) {
        std::string s = "position fen " + opening;
        if (!moves.empty()) s += " moves";
        for (const std::string& m : moves)
            s += " " + m;
        return s;
    }

    GameResult forfeit(int loser, int white, const std::string& reason,
                       std::vector<std::string> sans) {
        return finish({loser == white ? "0-1" : "1-0", reason, std::move(sans)});
    }

    // A game is over: no engine may go on pondering into the next one.
    GameResult finish(GameResult r) {
        for (int i = 0; i < 2; ++i) {
            if (!pondering_[i]) continue;
            e_[i].send("stop");
            e_[i].wait_for("bestmove", Clock::now() + ANSWER_MS);
            pondering_[i] = false;
        }
        return r;
    }

    const Options& o_;
    Engine* e_;
    Stats stats_[2];
    bool pondering_[2] = {false, false};
    Move expected_[2];
    std::vector<std::optional<int>> scores_[2];  // each engine's score for each of its moves
};

Options parse_args(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--games") {
            o.games = std::atoi(value().c_str());
            if (o.games < 1) usage("--games must be at least 1");
        } else if (a == "--tc") {
            const std::string tc = value();
            const size_t plus = tc.find('+');
            const double base = std::atof(tc.substr(0, plus).c_str());
            const double inc = plus == std::string::npos ? 0.0 : std::atof(tc.c_str() + plus + 1);
            if (!(base > 0) || inc < 0) usage("bad --tc " + tc);
            o.base_ms = int64_t(std::llround(base * 1000));
            o.inc_ms = int64_t(std::llround(inc * 1000));
        } else if (a == "--openings") {
            o.openings = value();
        } else if (a == "--pgn") {
            o.pgn = value();
        } else if (a == "--ponder") {
            const std::string p = value();
            if (p != "both" && p != "first" && p != "second" && p != "none")
                usage("bad --ponder " + p);
            o.ponders[0] = p == "both" || p == "first";
            o.ponders[1] = p == "both" || p == "second";
        } else if (a == "--option") {
            const std::string opt = value();
            if (opt.find('=') == std::string::npos) usage("--option wants NAME=VALUE");
            o.options.push_back(opt);
        } else if (a == "--resign") {
            o.resign_moves = std::atoi(value().c_str());
            o.resign_cp = std::atoi(value().c_str());
            if (o.resign_moves < 1 || o.resign_cp < 1) usage("--resign wants MOVES CP above 0");
        } else if (a == "--draw") {
            o.draw_from = std::atoi(value().c_str());
            o.draw_moves = std::atoi(value().c_str());
            o.draw_cp = std::atoi(value().c_str());
            if (o.draw_moves < 1 || o.draw_cp < 0) usage("--draw wants FROM_MOVE MOVES CP");
        } else if (a == "--help" || a == "-h") {
            usage("");
        } else if (a.rfind("--", 0) == 0) {
            usage("unknown option " + a);
        } else {
            o.engines.push_back(a);
        }
    }
    if (o.engines.size() != 2) usage("two engine commands are needed");
    return o;
}

// Elo from a score fraction; infinite at 0 and 1.
double elo_of(double score) {
    if (score <= 0) return -INFINITY;
    if (score >= 1) return INFINITY;
    return -400.0 * std::log10(1.0 / score - 1.0);
}

void write_pgn(std::ofstream& pgn, const Options& o, const std::string& opening, int round,
               const std::string& white, const std::string& black, const GameResult& g) {
    char date[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y.%m.%d", std::localtime(&now));
    pgn << "[Event \"ponderplay\"]\n[Site \"?\"]\n[Date \"" << date << "\"]\n[Round \"" << round
        << "\"]\n[White \"" << white << "\"]\n[Black \"" << black << "\"]\n[Result \"" << g.result
        << "\"]\n[TimeControl \"" << o.base_ms / 1000.0 << "+" << o.inc_ms / 1000.0
        << "\"]\n[Termination \"" << g.reason << "\"]\n";
    const Position start = Position::from_fen(opening).value();
    if (opening != Position::startpos().to_fen())
        pgn << "[FEN \"" << opening << "\"]\n[SetUp \"1\"]\n";
    pgn << "\n";
    std::string text;
    size_t column = 0;
    int number = int(start.fullmove_number());
    bool white_moves = start.side_to_move() == WHITE;
    for (size_t i = 0; i < g.san_moves.size(); ++i) {
        std::string token;
        if (white_moves)
            token = std::to_string(number) + ". ";
        else if (i == 0)
            token = std::to_string(number) + "... ";
        token += g.san_moves[i];
        if (column + token.size() + 1 > 79) {
            text += "\n";
            column = 0;
        } else if (column > 0) {
            text += " ";
            ++column;
        }
        text += token;
        column += token.size();
        if (!white_moves) ++number;
        white_moves = !white_moves;
    }
    pgn << text << (text.empty() ? "" : " ") << g.result << "\n\n";
}

} // namespace

int main(int argc, char** argv) {
    init_attacks();
    signal(SIGPIPE, SIG_IGN);
    const Options o = parse_args(argc, argv);
    const std::vector<std::string> openings = read_openings(o.openings);

    Engine engines[2];
    for (int i = 0; i < 2; ++i) {
        if (!engines[i].start(o.engines[i])) usage("cannot start " + o.engines[i]);
        engines[i].send("uci");
        const auto deadline = Clock::now() + ANSWER_MS;
        engines[i].name = "engine " + std::to_string(i + 1);
        bool ok = false;
        while (std::optional<std::string> line = engines[i].read_line(deadline)) {
            if (line->rfind("id name ", 0) == 0) engines[i].name = line->substr(8);
            if (*line == "uciok") {
                ok = true;
                break;
            }
        }
        if (!ok) usage(o.engines[i] + " did not answer uci");
        if (o.ponders[i]) engines[i].send("setoption name Ponder value true");
        for (const std::string& opt : o.options) {
            const size_t eq = opt.find('=');
            engines[i].send("setoption name " + opt.substr(0, eq) + " value " + opt.substr(eq + 1));
        }
    }
    if (engines[0].name == engines[1].name) {
        engines[0].name += " (1)";
        engines[1].name += " (2)";
    }

    std::ofstream pgn;
    if (!o.pgn.empty()) {
        pgn.open(o.pgn, std::ios::app);
        if (!pgn) usage("cannot write " + o.pgn);
    }

    Match match(o, engines);
    int wins = 0, draws = 0, losses = 0;  // the first engine's
    for (int g = 0; g < o.games; ++g) {
        const std::string& opening = openings[size_t(g / 2) % openings.size()];
        const int white = g % 2;
        const GameResult r = match.play(opening, white);
        const bool first_white = white == 0;
        if (r.result == "1/2-1/2")
            ++draws;
        else if ((r.result == "1-0") == first_white)
            ++wins;
        else
            ++losses;
        std::printf("game %d: %s - %s %s {%s}\n", g + 1, engines[white].name.c_str(),
                    engines[1 - white].name.c_str(), r.result.c_str(), r.reason.c_str());
        std::fflush(stdout);
        if (pgn.is_open())
            write_pgn(pgn, o, opening, g + 1, engines[white].name, engines[1 - white].name, r);
    }
    for (Engine& e : engines)
        e.quit();

    const int n = wins + draws + losses;
    const double score = (wins + 0.5 * draws) / n;
    // The per-game score's spread gives the interval of the mean, mapped through the Elo curve.
    const double variance = (wins * (1 - score) * (1 - score)
                             + draws * (0.5 - score) * (0.5 - score) + losses * score * score)
                            / n;
    const double margin = 1.96 * std::sqrt(variance / n);
    std::printf("\n%s vs %s: +%d =%d -%d (%.1f%% of %d)\n", engines[0].name.c_str(),
                engines[1].name.c_str(), wins, draws, losses, 100.0 * score, n);
    std::printf("Elo %+.1f, 95%% interval [%+.1f, %+.1f]\n", elo_of(score), elo_of(score - margin),
                elo_of(score + margin));
    for (int i = 0; i < 2; ++i) {
        const Stats& s = match.stats(i);
        std::printf("%s: %d time losses, %d illegal moves, ponder hits %d/%d",
                    engines[i].name.c_str(), s.time_losses, s.illegal_moves, s.ponder_hits,
                    s.ponder_tries);
        if (s.ponder_tries) std::printf(" (%.1f%%)", 100.0 * s.ponder_hits / s.ponder_tries);
        std::printf("\n");
    }
    return 0;
}
