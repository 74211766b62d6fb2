// Entry point. This file and cpu.cpp are compiled for baseline x86-64: the processor check must
// run, and be able to print its message, before any code built for the program's level.
#include <cstdio>

#include "cpu.h"
#include "uci.h"

int main(int argc, char** argv) {
    char message[512];
    if (velmar::cpu::check_message(velmar::cpu::read_cpuid(), message, sizeof message)) {
        std::printf("info string %s\n", message);
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", message);
        return 1;
    }
    return velmar::uci::run(argc, argv);
}
