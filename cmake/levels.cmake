# The processor level decides the compiler flags and the VELMAR_* defines. This is the only
# place that maps a level to flags; code tests VELMAR_AVX2 / VELMAR_AVX512 / VELMAR_PEXT, never
# __AVX2__.
#
# The baseline flags are for the few sources that must run before the processor check
# (main.cpp and cpu.cpp): they are compiled for plain x86-64 so that an old processor gets
# a message instead of an illegal instruction.
set(VELMAR_LEVEL "x86-64-v3-pext" CACHE STRING "Processor level: x86-64, x86-64-v2, x86-64-v3, x86-64-v3-pext, x86-64-v4")
set_property(CACHE VELMAR_LEVEL PROPERTY STRINGS x86-64 x86-64-v2 x86-64-v3 x86-64-v3-pext x86-64-v4)

set(VELMAR_AVX2 0)
set(VELMAR_AVX512 0)
set(VELMAR_PEXT 0)
if(VELMAR_LEVEL STREQUAL "x86-64")
    set(VELMAR_ARCH_FLAGS -march=x86-64)
elseif(VELMAR_LEVEL STREQUAL "x86-64-v2")
    set(VELMAR_ARCH_FLAGS -march=x86-64-v2)
elseif(VELMAR_LEVEL STREQUAL "x86-64-v3")
    set(VELMAR_ARCH_FLAGS -march=x86-64-v3)
    set(VELMAR_AVX2 1)
elseif(VELMAR_LEVEL STREQUAL "x86-64-v3-pext")
    set(VELMAR_ARCH_FLAGS -march=x86-64-v3)
    set(VELMAR_AVX2 1)
    set(VELMAR_PEXT 1)
elseif(VELMAR_LEVEL STREQUAL "x86-64-v4")
    set(VELMAR_ARCH_FLAGS -march=x86-64-v4)
    set(VELMAR_AVX2 1)
    set(VELMAR_AVX512 1)
    set(VELMAR_PEXT 1)
else()
    message(FATAL_ERROR "unknown VELMAR_LEVEL ${VELMAR_LEVEL}")
endif()

set(VELMAR_BASELINE_FLAGS -march=x86-64 -mtune=generic -fno-lto)
set(VELMAR_LEVEL_DEFINES
    VELMAR_LEVEL_NAME="${VELMAR_LEVEL}" VELMAR_AVX2=${VELMAR_AVX2} VELMAR_AVX512=${VELMAR_AVX512}
    VELMAR_PEXT=${VELMAR_PEXT})

# Applies the level to a target. Sources marked with velmar_baseline_sources() keep the
# baseline flags: per-source options come after the target's on the command line, so their
# -march wins.
function(velmar_apply_level target)
    target_compile_definitions(${target} PUBLIC ${VELMAR_LEVEL_DEFINES})
    target_compile_options(${target} PRIVATE ${VELMAR_ARCH_FLAGS})
    target_link_options(${target} PRIVATE ${VELMAR_ARCH_FLAGS})
endfunction()

function(velmar_baseline_sources)
    set_source_files_properties(${ARGN} PROPERTIES COMPILE_OPTIONS "${VELMAR_BASELINE_FLAGS}")
endfunction()
