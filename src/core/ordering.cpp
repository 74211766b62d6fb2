#include "ordering.h"

#include <cstdlib>
#include <cstring>

#include "see.h"

namespace velmar {

namespace {

int32_t victim_value(const Position& pos, Move m) {
    int32_t v = 0;
    if (m.is_en_passant()) v = ORDER_VALUE[PAWN];
    else if (m.is_capture()) v = ORDER_VALUE[type_of(pos.piece_on(m.to()))];
    if (m.is_promotion() && m.promoted() == QUEEN) v += ORDER_VALUE[QUEEN];
    return v;
}

bool is_under_promotion(Move m) { return m.is_promotion() && m.promoted() != QUEEN; }

}  // namespace

void Histories::clear() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }

void Histories::age_main() {
    for (auto& a : main)
        for (auto& b : a)
            for (auto& c : b)
                for (auto& d : c)
                    for (int16_t& v : d) v = int16_t(v / 2);
}

HistoryContext Histories::context(Color side, Bitboard threats, int ply) const {
    HistoryContext ctx;
    ctx.side = side;
    ctx.threats = threats;
    if (ply >= 1 && move_stack[ply - 1].made)
        ctx.cont1 = &cont[move_stack[ply - 1].piece][move_stack[ply - 1].to];
    if (ply >= 2 && move_stack[ply - 2].made)
        ctx.cont2 = &cont[move_stack[ply - 2].piece][move_stack[ply - 2].to];
    if (ply >= 4 && move_stack[ply - 4].made)
        ctx.far4 = &cont_far[type_of(move_stack[ply - 4].piece)][move_stack[ply - 4].to];
    return ctx;
}

void Histories::update_history(Color side, Bitboard threats, Piece piece, Move m, int ply,
                               int32_t bonus) {
    int16_t& e = main_entry(side, threats, m);
    e = gravity(e, bonus);
    const PieceType t = type_of(piece);
    const Square to = m.to();
    // The far table gets the full bonus although it is read at half weight.
    for (int back : {1, 2}) {
        if (ply < back || !move_stack[ply - back].made) continue;
        const PlyMove& pm = move_stack[ply - back];
        int16_t& c = cont[pm.piece][pm.to][t][to];
        c = gravity(c, bonus);
    }
    if (ply >= 4 && move_stack[ply - 4].made) {
        const PlyMove& pm = move_stack[ply - 4];
        int16_t& c = cont_far[type_of(pm.piece)][pm.to][t][to];
        c = gravity(c, bonus);
    }
}

bool DummyPolicy::score_moves(const Position& pos, const Move* moves, int count, int32_t* scores,
                              int, int) {
    for (int i = 0; i < count; ++i) scores[i] = score(pos, moves[i]);
    return true;
}

int32_t DummyPolicy::score(const Position& pos, Move m) {
    if (!m.is_noisy()) {
        int f = file_of(m.to()), r = rank_of(m.to());
        return 14 - std::abs(2 * f - 7) - std::abs(2 * r - 7);
    }
    int32_t attacker = type_of(pos.piece_on(m.from()));
    return (victim_value(pos, m) * 16 - attacker) / 16 + 1000;
}

MovePicker::MovePicker(const MoveList& moves) : list(moves) {
    for (int i = 0; i < list.count; ++i) scores[i] = 0;
}

bool MovePicker::next_at_least(int32_t floor, Move& m, int32_t& score) {
    const int n = list.count;
    if (cursor >= n) return false;
    int best = cursor;
    for (int i = cursor + 1; i < n; ++i)
        if (scores[i] > scores[best]) best = i;
    if (scores[best] < floor) return false;
    m = list.moves[best];
    score = scores[best];
    list.moves[best] = list.moves[cursor];
    scores[best] = scores[cursor];
    list.moves[cursor] = m;
    scores[cursor] = score;
    ++cursor;
    return true;
}

int32_t capture_part(const Position& pos, const Histories& h, Move m) {
    const Piece piece = pos.piece_on(m.from());
    return h.capture[piece][m.to()][captured_type(pos, m)] / 32 + 16 * victim_value(pos, m)
           - type_of(piece);
}

int32_t mvv_lva(const Position& pos, Move m) {
    return 16 * victim_value(pos, m) - type_of(pos.piece_on(m.from()));
}

PickerInputs picker_inputs(const Position& pos, const Histories& h, Move tt_move, int ply) {
    PickerInputs in;
    in.tt_move = tt_move;
    in.killer0 = h.killers[ply][0];
    in.killer1 = h.killers[ply][1];
    if (ply >= 1 && h.move_stack[ply - 1].made)
        in.counter = h.counter_moves[h.move_stack[ply - 1].piece][h.move_stack[ply - 1].to];
    in.ctx = h.context(pos.side_to_move(), pawn_threats(pos), ply);
    return in;
}

MainPicker::MainPicker(const Position& pos, const Histories& h, const PickerInputs& in)
    : pos_(pos), h_(h), in_(in), stage_(Stage::TT) {}

MainPicker::MainPicker(const Position& pos, const Histories& h, const PickerInputs& in,
                       MovePolicy* policy, int ply, int depth)
    : pos_(pos), h_(h), in_(in), stage_(Stage::ALL) {
    MovePicker& picker = noisy_.emplace();
    MoveList& list = picker.list;
    generate_all(pos, list);
    const int n = list.count;

    bool policy_scored = false;
    // A policy may score fewer moves than it was given; the rest keep 0.
    for (int i = 0; i < n; ++i) picker.scores[i] = 0;
    if (policy) policy_scored = policy->score_moves(pos, list.moves, n, picker.scores, ply, depth);
    if (policy_scored && !policy->keeps_normal_order()) {
        for (int i = 0; i < n; ++i) {
            int32_t s = picker.scores[i];
            picker.scores[i] = s < -order::POLICY_LIMIT ? -order::POLICY_LIMIT
                               : s > order::POLICY_LIMIT ? order::POLICY_LIMIT
                                                         : s;
            if (!policy->ranks_tt_move() && list.moves[i] == in.tt_move)
                picker.scores[i] = order::TT_MOVE;
        }
        return;
    }
    const bool add_bonus = policy_scored;
    for (int i = 0; i < n; ++i) {
        const Move m = list.moves[i];
        int32_t s;
        if (m == in.tt_move) s = order::TT_MOVE;
        else if (is_under_promotion(m)) s = order::UNDER_PROMOTION;
        else if (m.is_noisy())
            s = (see_ge(pos, m, 0) ? order::GOOD_NOISY : order::BAD_NOISY)
                + capture_part(pos, h, m);
        else if (m == in.killer0) s = order::KILLER_0;
        else if (m == in.killer1) s = order::KILLER_1;
        else if (m == in.counter) s = order::COUNTER;
        else {
            s = h.quiet_history(in.ctx, pos.piece_on(m.from()), m);
            if (add_bonus) s += policy->quiet_order_bonus(pos, m);
        }
        picker.scores[i] = s;
    }
}

bool MainPicker::usable_quiet(Move m) const {
    return !m.is_null() && !m.is_noisy() && m != in_.tt_move && is_legal_move(pos_, m);
}

bool MainPicker::next(Move& m, int32_t& score) {
    switch (stage_) {
    case Stage::TT:
        stage_ = Stage::GEN_NOISY;
        if (!in_.tt_move.is_null() && is_legal_move(pos_, in_.tt_move)) {
            m = in_.tt_move;
            score = order::TT_MOVE;
            return true;
        }
        [[fallthrough]];
    case Stage::GEN_NOISY: {
        MovePicker& noisy = noisy_.emplace();
        MoveList& list = noisy.list;
        generate_noisy(pos_, list);
        int n = 0;
        for (int i = 0; i < list.count; ++i) {
            const Move x = list.moves[i];
            if (x == in_.tt_move) continue;
            list.moves[n] = x;
            noisy.scores[n] = is_under_promotion(x) ? order::UNDER_PROMOTION
                               : (see_ge(pos_, x, 0) ? order::GOOD_NOISY : order::BAD_NOISY)
                                     + capture_part(pos_, h_, x);
            ++n;
        }
        list.count = n;
        stage_ = Stage::GOOD_NOISY;
        [[fallthrough]];
    }
    case Stage::GOOD_NOISY:
        if (noisy_->next_at_least(order::GOOD_NOISY, m, score)) return true;
        stage_ = Stage::KILLER0;
        [[fallthrough]];
    case Stage::KILLER0:
        stage_ = Stage::KILLER1;
        if (usable_quiet(in_.killer0)) {
            m = in_.killer0;
            score = order::KILLER_0;
            return true;
        }
        [[fallthrough]];
    case Stage::KILLER1:
        stage_ = Stage::COUNTER;
        if (in_.killer1 != in_.killer0 && usable_quiet(in_.killer1)) {
            m = in_.killer1;
            score = order::KILLER_1;
            return true;
        }
        [[fallthrough]];
    case Stage::COUNTER:
        stage_ = Stage::GEN_QUIET;
        if (in_.counter != in_.killer0 && in_.counter != in_.killer1 && usable_quiet(in_.counter)) {
            m = in_.counter;
            score = order::COUNTER;
            return true;
        }
        [[fallthrough]];
    case Stage::GEN_QUIET: {
        MovePicker& quiet = quiet_.emplace();
        MoveList& list = quiet.list;
        generate_quiet(pos_, list);
        int n = 0;
        for (int i = 0; i < list.count; ++i) {
            const Move x = list.moves[i];
            if (x == in_.tt_move || x == in_.killer0 || x == in_.killer1 || x == in_.counter)
                continue;
            list.moves[n] = x;
            quiet.scores[n] = h_.quiet_history(in_.ctx, pos_.piece_on(x.from()), x);
            ++n;
        }
        list.count = n;
        stage_ = Stage::QUIET;
        [[fallthrough]];
    }
    case Stage::QUIET:
        if (quiet_->next_move(m, score)) return true;
        stage_ = Stage::BAD_NOISY;
        [[fallthrough]];
    case Stage::BAD_NOISY:
    case Stage::ALL:
        if (noisy_->next_move(m, score)) return true;
        stage_ = Stage::DONE;
        [[fallthrough]];
    case Stage::DONE:
        break;
    }
    return false;
}

void score_qsearch(MovePicker& picker, const Position& pos, const Histories& h,
                   const HistoryContext& ctx, Move tt_move) {
    for (int i = 0; i < picker.list.count; ++i) {
        const Move m = picker.list.moves[i];
        picker.scores[i] = m == tt_move    ? order::TT_MOVE
                           : m.is_noisy() ? order::GOOD_NOISY + capture_part(pos, h, m)
                                          : h.main_value(ctx.side, ctx.threats, m);
    }
}

void score_probcut(MovePicker& picker, const Position& pos) {
    for (int i = 0; i < picker.list.count; ++i)
        picker.scores[i] = mvv_lva(pos, picker.list.moves[i]);
}

}  // namespace velmar
