// Helpers shared by the tests: positions from FEN, and reproducible random games that visit
// the awkward corners of the rules (captures, en passant, castling, promotions).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "movegen.h"
#include "position.h"

namespace velmar::test {

inline Position fen(std::string_view text, bool chess960 = false) {
    Result<Position> pos = Position::from_fen(text, chess960);
    if (!pos.ok()) ADD_FAILURE() << text << ": " << pos.error().message;
    return pos.ok() ? pos.value() : Position::startpos(chess960);
}

struct Rng {
    uint64_t state;
    uint64_t next() {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
};

// Varied start points: the usual perft positions plus a few endgames.
inline const std::vector<std::string_view>& varied_fens() {
    static const std::vector<std::string_view> fens = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
        "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
        "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1",
        "2K2r2/4P3/8/8/8/8/8/3k4 w - - 0 1",
        "r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1",
        "8/P1k5/K7/8/8/8/8/8 w - - 0 1",
    };
    return fens;
}

// Chess960 start points, read with chess960 set: published perft positions, and open back
// ranks where the king castles onto its rook's square, swaps places with it, already stands on
// its target, or castles past a rook that shields it on the back rank.
inline const std::vector<std::string_view>& chess960_fens() {
    static const std::vector<std::string_view> fens = {
        "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
        "2nnrbkr/p1qppppp/8/1ppb4/6PP/3PP3/PPP2P2/BQNNRBKR w HEhe - 1 9",
        "1r1k2r1/pppppppp/8/8/8/8/PPPPPPPP/1R1K2R1 w GBgb - 0 1",
        "rk5r/p6p/8/8/8/8/P6P/RK5R w HAha - 0 1",
        "1rk3r1/1p4pp/8/8/8/8/1P3PPP/1RK3R1 w GBgb - 0 1",
        "2rk1r2/8/1b6/8/8/6B1/8/2RK1R2 b FCfc - 0 1",
        "r4k1r/8/8/8/8/8/8/qR2K1R1 w GBha - 0 1",
    };
    return fens;
}

// Plays up to `plies` random legal moves from `start`, calling visit(pos) at every position.
template <typename Visit>
void random_game(Position pos, Rng& rng, int plies, Visit&& visit) {
    for (int i = 0; i < plies; ++i) {
        visit(pos);
        MoveList moves;
        generate_all(pos, moves);
        if (moves.empty()) return;
        // Prefer noisy moves now and then so games reach promotions and en passant.
        MoveList noisy;
        generate_noisy(pos, noisy);
        Move m = (!noisy.empty() && rng.below(3) == 0) ? noisy[int(rng.below(noisy.size()))]
                                                        : moves[int(rng.below(moves.size()))];
        pos.make_move(m);
    }
}

// A scratch directory for file fixtures, removed with its contents when the test ends.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag)
        : root_(std::filesystem::temp_directory_path()
                / ("velmar_" + tag + "_" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~ScratchDir() {
        for (int fd : held_)
            ::close(fd);
        std::filesystem::remove_all(root_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string str() const { return root_.string(); }
    std::string path(const std::string& name) const { return (root_ / name).string(); }

    // `bytes`, then a hole up to `length` when that is longer: a sparse terabyte costs no disk.
    std::string file(const std::string& name, const std::vector<uint8_t>& bytes,
                     uint64_t length = 0) {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (length > bytes.size() && ::truncate(p.c_str(), off_t(length)) != 0)
            ADD_FAILURE() << "cannot extend " << p << " to " << length << " bytes";
        return p;
    }
    // A FIFO with a descriptor held open for reading and writing until the end of the test, so
    // that no open of it can wait for a writer: code that wrongly opens it fails its test
    // instead of hanging it.
    std::string fifo(const std::string& name) {
        const std::string p = path(name);
        if (::mkfifo(p.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << p;
        const int fd = ::open(p.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            ADD_FAILURE() << "open " << p;
        else
            held_.push_back(fd);
        return p;
    }
    // A directory holding two files: on tmpfs its reported size is then 80 bytes, which passes
    // a size test meant for regular files (16 modulo 64).
    std::string directory(const std::string& name) {
        const std::string p = path(name);
        std::filesystem::create_directories(p);
        std::ofstream(p + "/a") << "a";
        std::ofstream(p + "/b") << "b";
        return p;
    }

private:
    std::filesystem::path root_;
    std::vector<int> held_;
};

// The sanitizers reserve address space far beyond any limit a test would set.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool CAN_LIMIT_MEMORY = false;
#else
inline constexpr bool CAN_LIMIT_MEMORY = true;
#endif

// For a death-test child: lets the address space grow by about `extra_bytes` from here on, so
// that any larger allocation fails.
inline bool limit_address_space(uint64_t extra_bytes) {
    unsigned long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return false;
    const bool read = std::fscanf(statm, "%lu", &pages) == 1;
    std::fclose(statm);
    if (!read) return false;
    const rlim_t limit = rlim_t(pages * uint64_t(::sysconf(_SC_PAGESIZE)) + extra_bytes);
    const rlimit rl{limit, limit};
    return ::setrlimit(RLIMIT_AS, &rl) == 0;
}

}  // namespace velmar::test
