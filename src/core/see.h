// Static exchange evaluation: does the capture sequence a move starts on its to-square win at
// least a threshold for the side making it? A threshold test that stops as soon as the answer
// is known; it never makes a move and never allocates. Pins are ignored inside the exchange.
// Relies on init_attacks() having run.
#pragma once

#include <array>
#include <cstdint>

#include "position.h"

namespace velmar {

// Exchange values by piece type, used only by the exchange test (not the evaluation's).
inline constexpr std::array<int32_t, 6> SEE_VALUE = {100, 320, 330, 500, 950, 20'000};

// m must be legal in pos (any kind, castling included). Pure; safe to call from any thread.
bool see_ge(const Position& pos, Move m, int32_t threshold);

}  // namespace velmar
