#pragma once
// Invariant checks for fuzz targets: a broken invariant aborts so libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "Runtime.Text.h"

#define FUZZ_CHECK(Cond)                                                                  \
    do {                                                                                  \
        if (!(Cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #Cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// Valid UTF-8: decoding meets no U+FFFD other than one written out in full.
inline bool IsValidUtf8(std::string_view S) {
    for (std::size_t Pos = 0; Pos < S.size();) {
        const std::size_t Start = Pos;
        if (Runtime::NextCodePoint(S, Pos) == Runtime::ReplacementChar &&
            S.substr(Start, Pos - Start) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
}
