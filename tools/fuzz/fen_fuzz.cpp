// FEN reading, in standard and in Chess960 mode, then everything a read position promises: the
// text reads back to the same position, generators agree with each other, and every legal move
// makes and unmakes with keys equal to a fresh read and every field restored. Finally both
// evaluations look at it, since a FEN can hold material no game reaches.
#include <string>
#include <string_view>

#include "eval.h"
#include "fuzz_util.h"
#include "movegen.h"
#include "nnue.h"
#include "position.h"
#include "see.h"

using namespace velmar;

namespace {

Position reread(const Position& pos) {
    Result<Position> fresh = Position::from_fen(pos.to_fen(), pos.chess960());
    fuzz::check(fresh.ok(), "to_fen gave a FEN that does not read back");
    return fresh.value();
}

void check_keys_fresh(const Position& pos) {
    const Position fresh = reread(pos);
    fuzz::check(pos.key() == fresh.key(), "key differs from a fresh read");
    fuzz::check(pos.pawn_key() == fresh.pawn_key(), "pawn key differs from a fresh read");
    fuzz::check(pos.minor_key() == fresh.minor_key(), "minor key differs from a fresh read");
    fuzz::check(pos.non_pawn_key(WHITE) == fresh.non_pawn_key(WHITE)
                    && pos.non_pawn_key(BLACK) == fresh.non_pawn_key(BLACK),
                "non-pawn key differs from a fresh read");
    fuzz::check(pos.checkers() == fresh.checkers(), "checkers differ from a fresh read");
}

void check_fen(std::string_view text, bool chess960) {
    Result<Position> parsed = Position::from_fen(text, chess960);
    if (!parsed.ok()) {
        fuzz::check(parsed.error().message.rfind("bad FEN: ", 0) == 0,
                    "FEN error without the \"bad FEN: \" prefix");
        return;
    }
    Position pos = parsed.value();

    // 1. Round trip: the written FEN reads back to the same position and the same text.
    const std::string fen = pos.to_fen();
    const Position again = reread(pos);
    fuzz::check(again == pos, "FEN round trip changes the position");
    fuzz::check(again.to_fen() == fen, "FEN round trip changes the text");
    (void)pos.display();

    // 2. The generators agree with each other.
    MoveList all, noisy, quiet;
    generate_all(pos, all);
    generate_noisy(pos, noisy);
    generate_quiet(pos, quiet);
    fuzz::check(noisy.size() + quiet.size() == all.size(), "noisy + quiet != all");
    fuzz::check(has_legal_move(pos) == !all.empty(), "has_legal_move disagrees with the list");

    // 3. Every legal move: make, fresh keys, unmake restores every field.
    const Position before = pos;
    uint64_t children = 0;
    for (Move m : all) {
        fuzz::check(is_legal_move(pos, m), "generated move not legal");
        fuzz::check(pos.parse_uci_move(pos.move_text(m)) == m, "move text does not parse back");
        fuzz::check(noisy.contains(m) != quiet.contains(m), "move in both or neither list");
        (void)see_ge(pos, m, 0);
        const bool predicted = pos.gives_check(m);
        pos.make_move(m);
        fuzz::check(predicted == pos.in_check(), "gives_check disagrees with make_move");
        check_keys_fresh(pos);
        MoveList replies;
        generate_all(pos, replies);
        children += uint64_t(replies.size());
        pos.unmake_move(m);
        fuzz::check(pos == before, "unmake did not restore the position");
    }
    fuzz::check(perft(pos, 2) == children, "perft 2 differs from the sum of replies");
    if (!pos.in_check()) {
        pos.make_null();
        check_keys_fresh(pos);
        pos.unmake_null();
        fuzz::check(pos == before, "unmake_null did not restore the position");
    }

    // 4. Evaluations: incremental NNUE against a from-scratch sum, at the root and after the
    // first few moves (a king move may change the bucket).
    (void)PstEval::evaluate_white(pos);
    const std::shared_ptr<const Network> net = DEFAULT_NET.get();
    NnueEval eval(net);
    eval.reset(pos);
    fuzz::check(eval.evaluate(pos) == evaluate_scalar(*net, pos), "NNUE differs from scratch");
    (void)eval.wdl(pos);
    int tried = 0;
    for (Move m : all) {
        if (tried++ == 8) break;
        eval.push_move(pos, m);
        pos.make_move(m);
        fuzz::check(eval.evaluate(pos) == evaluate_scalar(*net, pos),
                    "NNUE after a move differs from scratch");
        pos.unmake_move(m);
        eval.pop_move();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init();
    // A FEN is short; long inputs only slow the search for interesting ones.
    if (size > 256) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_fen(text, false);
    check_fen(text, true);
    return 0;
}
