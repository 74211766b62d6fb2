// Writes a router network file with seeded pseudo-random weights, of any version:
//
//   routergen VERSION OUT [SIZES...] [seed=N]
//     VERSION 1, 2, 3 (or KWT1..KWT3): SIZES = H1                 (default 32)
//     VERSION 4 (KWT4):                SIZES = H1 H2              (default 64 32)
//     VERSION 5 (KWT5):                SIZES = C B E              (default 16 2 4)
//   routergen train DATA OUT [H1 [H2]] [epochs=N] [lr=X] [batch=N] [seed=N]
//     fits a KWT4 router to the moves played in self-play records (train.cpp)
//   routergen bench FILE [TOPK]
//     times log_probs of any router file over the benchmark positions
//
// The file is read back through the engine's loader before the tool reports success, so every
// file it leaves behind loads. Useful for exercising RouterFile and the policy paths of the
// search without a trained network.
#include "bench.h"
#include "movegen.h"
#include "router.h"
#include "router_moe.h"
#include "train.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velmar::Result;
using velmar::RouterMoeNet;
using velmar::RouterNet;

bool parse_u32(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > UINT32_MAX) return false;
    out = uint32_t(v);
    return true;
}

// Mean time of one log_probs call over the benchmark positions, for about a second.
int bench_file(const std::string& path, uint32_t top_k) {
    Result<std::vector<uint8_t>> bytes = velmar::read_router_file(path);
    if (!bytes.ok()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), bytes.error().message.c_str());
        return 1;
    }
    std::vector<velmar::Position> positions;
    std::vector<velmar::MoveList> lists;
    for (std::string_view fen : velmar::bench::POSITIONS) {
        positions.push_back(velmar::Position::from_fen(fen).value());
        lists.emplace_back();
        velmar::generate_all(positions.back(), lists.back());
    }
    float out[velmar::MoveList::CAPACITY];
    velmar::RouterScratch scratch;
    velmar::MoeScratch moe_scratch;
    std::optional<RouterNet> net;
    std::optional<RouterMoeNet> moe;
    const bool is_moe =
        bytes.value().size() > 3 && std::memcmp(bytes.value().data(), "KWT5", 4) == 0;
    if (is_moe) {
        Result<RouterMoeNet> r = RouterMoeNet::from_bytes(bytes.value());
        if (!r.ok()) return std::fprintf(stderr, "%s\n", r.error().message.c_str()), 1;
        moe = std::move(r.value());
    } else {
        Result<RouterNet> r = RouterNet::from_bytes(bytes.value());
        if (!r.ok()) return std::fprintf(stderr, "%s\n", r.error().message.c_str()), 1;
        net = std::move(r.value());
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    uint64_t calls = 0, moves = 0;
    double seconds = 0;
    while (seconds < 1.0) {
        for (size_t i = 0; i < positions.size(); ++i) {
            const velmar::MoveList& ml = lists[i];
            if (moe)
                moe->log_probs(positions[i], ml.moves, ml.count, top_k, out, moe_scratch);
            else
                net->log_probs(positions[i], ml.moves, ml.count, out, scratch);
            moves += uint64_t(ml.count);
        }
        calls += positions.size();
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::printf("%s: %.1f us per call, %.1f moves per call, %llu calls\n", path.c_str(),
                seconds / double(calls) * 1e6, double(moves) / double(calls),
                static_cast<unsigned long long>(calls));
    return 0;
}

int usage() {
    std::fputs("usage: routergen VERSION OUT [SIZES...] [seed=N]\n"
               "  VERSION 1-3: H1; 4: H1 H2; 5: C B E\n"
               "       routergen train DATA OUT [H1 [H2]] [epochs=N] [lr=X] [batch=N] [seed=N]\n"
               "       routergen bench FILE [TOPK]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    velmar::init_attacks();
    if (argc >= 2 && std::string_view(argv[1]) == "train")
        return velmar::routergen::train(argc, argv);
    if (argc >= 3 && std::string_view(argv[1]) == "bench") {
        uint32_t top_k = 0;
        if (argc >= 4 && !parse_u32(argv[3], top_k)) return usage();
        return bench_file(argv[2], top_k);
    }
    if (argc < 3) return usage();
    std::string_view version_text = argv[1];
    if (version_text.starts_with("KWT")) version_text.remove_prefix(3);
    uint32_t version = 0;
    if (!parse_u32(version_text, version) || version < 1 || version > 5) return usage();
    const std::string out_path = argv[2];

    uint64_t seed = 1;
    std::vector<uint32_t> sizes;
    for (int i = 3; i < argc; ++i) {
        std::string_view arg = argv[i];
        uint32_t v = 0;
        if (arg.starts_with("seed=")) {
            if (!parse_u32(arg.substr(5), v)) return usage();
            seed = v;
        } else if (parse_u32(arg, v)) {
            sizes.push_back(v);
        } else {
            return usage();
        }
    }
    auto size_or = [&](size_t i, uint32_t fallback) {
        return i < sizes.size() ? sizes[i] : fallback;
    };

    std::vector<uint8_t> bytes;
    std::string summary;
    if (version == 5) {
        const uint32_t c = size_or(0, 16), b = size_or(1, 2), e = size_or(2, 4);
        if (c < 1 || c > velmar::MOE_MAX_CHANNELS || b > velmar::MOE_MAX_BLOCKS || e < 1) {
            std::fputs("routergen: KWT5 needs 1 <= C <= 256, B <= 16, E >= 1\n", stderr);
            return 2;
        }
        bytes = RouterMoeNet::random(c, b, e, seed).to_bytes();
        Result<RouterMoeNet> back = RouterMoeNet::from_bytes(bytes);
        if (!back.ok()) {
            std::fprintf(stderr, "routergen: written file refused: %s\n",
                         back.error().message.c_str());
            return 1;
        }
        summary =
            "KWT5 C=" + std::to_string(c) + " B=" + std::to_string(b) + " E=" + std::to_string(e);
    } else {
        const uint32_t h1 = size_or(0, version == 4 ? 64 : 32),
                       h2 = version == 4 ? size_or(1, 32) : 0;
        if (h1 < 1 || h1 > velmar::ROUTER_MAX_HIDDEN
            || (version == 4 && (h2 < 1 || h2 > velmar::ROUTER_MAX_HIDDEN))) {
            std::fputs("routergen: hidden sizes must be 1..4096\n", stderr);
            return 2;
        }
        bytes = RouterNet::random(version, h1, h2, seed).to_bytes();
        Result<RouterNet> back = RouterNet::from_bytes(bytes);
        if (!back.ok()) {
            std::fprintf(stderr, "routergen: written file refused: %s\n",
                         back.error().message.c_str());
            return 1;
        }
        summary = "KWT" + std::to_string(version) + " hidden " + std::to_string(h1)
                  + (version == 4 ? "x" + std::to_string(h2) : "");
    }

    std::FILE* f = std::fopen(out_path.c_str(), "wb");
    if (!f) {
        std::perror(out_path.c_str());
        return 1;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) {
        std::perror(out_path.c_str());
        return 1;
    }
    std::printf("wrote %s: %s, seed %llu, %zu bytes\n", out_path.c_str(), summary.c_str(),
                static_cast<unsigned long long>(seed), bytes.size());
    return 0;
}
