// Network::from_bytes. The file has no header: its length alone picks the shape, and the
// smallest shape is 1.5 MB, far beyond what a fuzzer mutates well. So the raw input is read as
// a file (reaching the size checks), and is also expanded to a full file:
//
//   byte 0       picks a length: one of the twelve shapes, exact or padded, or a near miss
//   bytes 1..    the body: the feature rows and bias are the body repeated (zero when it is
//                empty), and the rest of the file, from the output weights on, is the body
//                from its start followed by zeros
//
// A body of small values therefore loads, and a value beyond +-127 in its first 2048 int16s
// (the first output bucket) reaches the output weight range check. When a network loads,
// incremental evaluation is held to the from-scratch scalar sum along a short game whose moves
// the body picks, across king bucket changes.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_util.h"
#include "movegen.h"
#include "nnue.h"
#include "position.h"

using namespace velmar;

namespace {

constexpr size_t ROW_BYTES = NNUE_HIDDEN * sizeof(int16_t);

struct Length {
    size_t bytes;
    uint32_t king_buckets;  // 0: not a network length
    uint32_t output_buckets;
    bool head;
};

constexpr size_t exact_size(size_t k, size_t o, bool head) {
    return k * NNUE_INPUTS * ROW_BYTES + ROW_BYTES + o * (2 * NNUE_HIDDEN + 1) * 2
           + (head ? (3 * 2 * NNUE_HIDDEN + 3) * 2 : 0);
}
constexpr size_t padded(size_t exact) { return (exact + 63) / 64 * 64; }

constexpr auto LENGTHS = [] {
    std::array<Length, 29> out{};
    size_t n = 0;
    for (uint32_t k : {1u, 4u, 8u})
        for (uint32_t o : {1u, 8u})
            for (bool h : {false, true}) {
                const size_t exact = exact_size(k, o, h);
                out[n++] = {exact, k, o, h};
                out[n++] = {padded(exact), k, o, h};
            }
    const size_t small = exact_size(1, 1, false), large = padded(exact_size(8, 8, true));
    out[n++] = {small - 1, 0, 0, false};
    out[n++] = {small + 1, 0, 0, false};
    out[n++] = {padded(small) + 1, 0, 0, false};
    out[n++] = {large + 64, 0, 0, false};
    out[n++] = {large - 2, 0, 0, false};
    return out;
}();
static_assert(exact_size(8, 8, true) == 12'630'038);
static_assert(padded(exact_size(8, 8, true)) == DefaultNet::SIZE);

// Positions with both kings on either wing, full and thin material.
constexpr std::string_view FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/P1k5/K7/8/8/8/8/8 w - - 0 1",
};

std::vector<uint8_t> expand(const Length& length, std::span<const uint8_t> body) {
    std::vector<uint8_t> file(length.bytes, 0);
    const size_t buckets = length.king_buckets ? length.king_buckets : 1;
    const size_t rows = std::min(file.size(), (buckets * NNUE_INPUTS + 1) * ROW_BYTES);
    if (!body.empty()) {
        // The body once, then doubling copies: cheap even for 12 MB.
        size_t filled = std::min(body.size(), rows);
        std::memcpy(file.data(), body.data(), filled);
        while (filled < rows) {
            const size_t n = std::min(filled, rows - filled);
            std::memcpy(file.data() + filled, file.data(), n);
            filled += n;
        }
        const size_t tail = std::min(body.size(), file.size() - rows);
        std::memcpy(file.data() + rows, body.data(), tail);
    }
    return file;
}

void check_evaluation(const std::shared_ptr<const Network>& net, std::span<const uint8_t> body) {
    size_t pick = 0;
    for (std::string_view fen : FENS) {
        Position pos = Position::from_fen(fen).value();
        NnueEval eval(net);
        eval.reset(pos);
        for (int ply = 0; ply < 12; ++ply) {
            fuzz::check(eval.evaluate(pos) == evaluate_scalar(*net, pos),
                        "incremental NNUE differs from the scalar sum");
            const std::optional<WdlProbs> wdl = eval.wdl(pos);
            fuzz::check(wdl.has_value() == net->has_head(), "W/D/L only with a head");
            MoveList moves;
            generate_all(pos, moves);
            if (moves.empty()) break;
            // King moves first when the body says so, to cross bucket and mirror lines.
            const uint8_t b = body.empty() ? 0 : body[pick++ % body.size()];
            Move m = moves[b % moves.size()];
            if (b & 0x80)
                for (Move k : moves)
                    if (type_of(pos.piece_on(k.from())) == KING) m = k;
            eval.push_move(pos, m);
            pos.make_move(m);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init();
    const std::span<const uint8_t> input(data, size);
    if (Network::from_bytes(input).ok()) {
        const bool listed = std::any_of(LENGTHS.begin(), LENGTHS.end(), [&](const Length& l) {
            return l.king_buckets && l.bytes == size;
        });
        fuzz::check(listed, "a network of no valid length loaded");
    }
    if (size == 0) return 0;

    const Length& length = LENGTHS[data[0] % LENGTHS.size()];
    const std::span<const uint8_t> body = input.subspan(1);
    Result<Network> net = Network::from_bytes(expand(length, body));
    if (!length.king_buckets) {
        fuzz::check(!net.ok(), "a network of no valid length loaded");
        return 0;
    }
    if (!net.ok()) return 0;
    fuzz::check(net.value().king_buckets() == length.king_buckets
                    && net.value().output_buckets() == length.output_buckets
                    && net.value().has_head() == length.head,
                "loaded shape differs from the one the length names");
    check_evaluation(std::make_shared<const Network>(std::move(net.value())), body);
    return 0;
}
