#include "syzygy.h"

#include <cstdio>

#include "movegen.h"
#include "prober/tbprobe.h"

namespace velmar {

std::mutex FATHOM_LOCK;

namespace {

struct ProbeSets {
    uint64_t white, black, kings, queens, rooks, bishops, knights, pawns;
    unsigned ep;
    bool white_to_move;
};

ProbeSets probe_sets(const Position& pos) {
    return {pos.by_color(WHITE),
            pos.by_color(BLACK),
            pos.by_type(KING),
            pos.by_type(QUEEN),
            pos.by_type(ROOK),
            pos.by_type(BISHOP),
            pos.by_type(KNIGHT),
            pos.by_type(PAWN),
            pos.en_passant() == SQ_NONE ? 0u : unsigned(pos.en_passant()),
            pos.side_to_move() == WHITE};
}

// Prober promotion codes (1 queen .. 4 knight) as piece types; 0 for no promotion.
PieceType promoted_type(unsigned code) { return PieceType(5 - code); }

}  // namespace

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char buf[12];
                std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(static_cast<unsigned char>(c)));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

Result<Syzygy> Syzygy::load(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return Error{"path contains a NUL byte"};
    unsigned largest;
    {
        std::lock_guard lock(FATHOM_LOCK);
        if (!syzygy::tb_init(path))
            return Error{"Fathom could not initialise tablebases at " + quoted(path)};
        largest = syzygy::TB_LARGEST;
    }
    if (largest == 0) return Error{"no Syzygy tables found in " + quoted(path)};
    return Syzygy(largest);
}

void Syzygy::unload() {
    std::lock_guard lock(FATHOM_LOCK);
    syzygy::tb_init("");
}

uint8_t Syzygy::probe_wdl(const Position& pos) const {
    if (pos.halfmove_clock() != 0 || pos.castling() != 0) return WDL_NONE;
    if (unsigned(popcount(pos.pieces())) > max_pieces_) return WDL_NONE;
    const ProbeSets s = probe_sets(pos);
    unsigned r = syzygy::tb_probe_wdl_impl(s.white, s.black, s.kings, s.queens, s.rooks,
                                           s.bishops, s.knights, s.pawns, s.ep, s.white_to_move);
    return r == syzygy::TB_RESULT_FAILED ? WDL_NONE : uint8_t(r);
}

std::optional<std::vector<RootMove>> Syzygy::probe_root(const Position& pos) const {
    if (pos.castling() != 0 || unsigned(popcount(pos.pieces())) > max_pieces_)
        return std::nullopt;
    unsigned results[syzygy::TB_MAX_ROOT_RESULTS];
    std::fill(std::begin(results), std::end(results), syzygy::TB_RESULT_FAILED);
    const ProbeSets s = probe_sets(pos);
    unsigned r;
    {
        std::lock_guard lock(FATHOM_LOCK);
        r = syzygy::tb_probe_root_impl(s.white, s.black, s.kings, s.queens, s.rooks, s.bishops,
                                       s.knights, s.pawns, pos.halfmove_clock(), s.ep,
                                       s.white_to_move, results);
    }
    if (r == syzygy::TB_RESULT_FAILED) return std::nullopt;

    MoveList legal;
    generate_all(pos, legal);
    std::vector<RootMove> root_moves;
    for (unsigned entry : results) {
        if (entry == syzygy::TB_RESULT_FAILED) break;
        const unsigned from = syzygy::tb_result_from(entry), to = syzygy::tb_result_to(entry);
        const unsigned promotes = syzygy::tb_result_promotes(entry);
        Move match = NO_MOVE;
        for (Move m : legal) {
            if (m.from() != from || m.to() != to) continue;
            if (promotes == 0 ? !m.is_promotion()
                              : m.is_promotion() && m.promoted() == promoted_type(promotes)) {
                match = m;
                break;
            }
        }
        if (match.is_null()) return std::nullopt;
        const unsigned wdl = syzygy::tb_result_wdl(entry);
        root_moves.push_back({syzygy::tb_result_dtz(entry), match, uint8_t(wdl > 4 ? 4 : wdl)});
    }
    if (int(root_moves.size()) != legal.size()) return std::nullopt;
    return root_moves;
}

}  // namespace velmar
