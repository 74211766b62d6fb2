// The router loaders, KWT1-KWT4 (RouterNet) and KWT5 (RouterMoeNet). Every valid file holds a
// 24,576-float move bias, so even the smallest is about 100 KB. The raw input goes to both
// loaders (reaching the header and size checks), and when its header names sizes whose file
// is at most 4 MB, the input is also expanded to exactly that length: the header as given,
// then the body (the input past the header) repeated, or zeros when there is none.
//
// A network that loads must write back the same bytes, give the same log-probabilities through
// both calls, and, whenever every log-probability is finite, a distribution over the moves.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_util.h"
#include "movegen.h"
#include "position.h"
#include "router.h"
#include "router_moe.h"

using namespace velmar;

namespace {

constexpr uint64_t MAX_EXPANDED = 4u << 20;
constexpr uint64_t MOE_BUDGET = 100'000'000;  // tower multiplications per input

constexpr std::string_view FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1",
    "8/P1k5/K7/8/8/8/8/8 w - - 0 1",
};

uint32_t u32_at(std::span<const uint8_t> b, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

// The file length and header length the input's header names, if it names a router at all.
std::optional<std::pair<uint64_t, size_t>> named_length(std::span<const uint8_t> in) {
    if (in.size() < 4 || std::memcmp(in.data(), "KWT", 3) != 0) return std::nullopt;
    const char v = char(in[3]);
    const uint32_t a = u32_at(in, 4), b = u32_at(in, 8), c = u32_at(in, 12);
    if (v >= '1' && v <= '3') {
        if (a < 1 || a > ROUTER_MAX_HIDDEN) return std::nullopt;
        return std::pair{RouterNet::file_size(uint32_t(v - '0'), a, 0), size_t(12)};
    }
    if (v == '4') {
        if (a < 1 || a > ROUTER_MAX_HIDDEN || b < 1 || b > ROUTER_MAX_HIDDEN) return std::nullopt;
        return std::pair{RouterNet::file_size(4, a, b), size_t(16)};
    }
    if (v == '5') {
        if (a < 1 || a > MOE_MAX_CHANNELS || b > MOE_MAX_BLOCKS || c < 1 || c > (1u << 16))
            return std::nullopt;
        return std::pair{RouterMoeNet::file_size(a, b, c), size_t(20)};
    }
    return std::nullopt;
}

std::vector<uint8_t> expand(std::span<const uint8_t> in, uint64_t length, size_t header) {
    std::vector<uint8_t> out(size_t(length), 0);
    std::memcpy(out.data(), in.data(), std::min<size_t>({in.size(), header, out.size()}));
    if (in.size() > header && out.size() > header) {
        const std::span<const uint8_t> body = in.subspan(header);
        for (size_t at = header; at < out.size(); at += body.size())
            std::memcpy(out.data() + at, body.data(), std::min(body.size(), out.size() - at));
    }
    return out;
}

void check_distribution(const std::vector<float>& lp) {
    double sum = 0;
    for (float x : lp) {
        if (!std::isfinite(x)) return;
        sum += std::exp(double(x));
    }
    fuzz::check(lp.empty() || std::abs(sum - 1.0) < 1e-3,
                "finite log-probabilities that do not sum to probability 1");
}

// One value per move, the same whether the scratch is fresh or reused, and a distribution.
void check_log_probs(const std::vector<float>& fresh, const std::vector<float>& reused,
                     size_t moves) {
    fuzz::check(fresh.size() == moves, "one log-probability per move");
    fuzz::check(fresh.empty()
                    || std::memcmp(fresh.data(), reused.data(), fresh.size() * sizeof(float))
                           == 0,
                "a reused scratch changes the log-probabilities");
    check_distribution(fresh);
}

void load(std::span<const uint8_t> bytes) {
    Result<RouterNet> net = RouterNet::from_bytes(bytes);
    Result<RouterMoeNet> moe = RouterMoeNet::from_bytes(bytes);
    fuzz::check(!(net.ok() && moe.ok()), "one file read as both router kinds");
    if (net.ok()) {
        const RouterNet& n = net.value();
        fuzz::check(n.to_bytes() == std::vector<uint8_t>(bytes.begin(), bytes.end()),
                    "RouterNet writes back other bytes");
        RouterScratch scratch;
        for (std::string_view fen : FENS) {
            const Position pos = Position::from_fen(fen).value();
            MoveList moves;
            generate_all(pos, moves);
            const std::vector<float> fresh = n.log_probs(pos, {moves.begin(), moves.end()});
            std::vector<float> reused(size_t(moves.size()));
            n.log_probs(pos, moves.begin(), moves.size(), reused.data(), scratch);
            check_log_probs(fresh, reused, moves.size());
        }
    }
    if (moe.ok()) {
        const RouterMoeNet& n = moe.value();
        fuzz::check(n.to_bytes() == std::vector<uint8_t>(bytes.begin(), bytes.end()),
                    "RouterMoeNet writes back other bytes");
        // The tower costs 64 multiplications per convolution weight; wide towers get fewer
        // positions, so that no input takes seconds.
        const uint64_t c = n.channels();
        const uint64_t tower = 64 * 9 * c * (MOE_PLANES + 2 * uint64_t(n.blocks()) * c);
        uint64_t pairs = std::max<uint64_t>(1, MOE_BUDGET / (2 * tower));
        MoeScratch scratch;
        for (std::string_view fen : FENS) {
            const Position pos = Position::from_fen(fen).value();
            MoveList moves;
            generate_all(pos, moves);
            for (uint32_t top_k : {0u, 1u, 3u}) {
                if (pairs-- == 0) return;
                const std::vector<float> fresh =
                    n.log_probs(pos, {moves.begin(), moves.end()}, top_k);
                std::vector<float> reused(size_t(moves.size()));
                n.log_probs(pos, moves.begin(), moves.size(), top_k, reused.data(), scratch);
                check_log_probs(fresh, reused, moves.size());
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init();
    const std::span<const uint8_t> input(data, size);
    load(input);
    if (const auto named = named_length(input)) {
        const auto [length, header] = *named;
        if (length != size && length >= header && length <= MAX_EXPANDED)
            load(expand(input, length, header));
    }
    return 0;
}
