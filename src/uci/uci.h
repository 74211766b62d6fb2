// The front end's entry after the processor check: the command-line benchmark or the UCI loop.
#pragma once

namespace velmar::uci {

int run(int argc, char** argv);

}  // namespace velmar::uci
