#pragma once
// Test data for the decoding tests: bodies made here and compressed with zlib itself.

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "Runtime.Stream.h"

namespace ZlibTest {

enum class TWrap { Zlib, Gzip, Raw };

inline Runtime::TBytes Compress(const Runtime::TBytes& Data, TWrap Wrap,
                                int Level = Z_DEFAULT_COMPRESSION) {
    z_stream Z{};
    const int Bits = Wrap == TWrap::Zlib ? 15 : Wrap == TWrap::Gzip ? 31 : -15;
    if (deflateInit2(&Z, Level, Z_DEFLATED, Bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    Runtime::TBytes Out(deflateBound(&Z, static_cast<uLong>(Data.size())) + 64);
    Z.next_in = const_cast<Bytef*>(Data.data());
    Z.avail_in = static_cast<uInt>(Data.size());
    Z.next_out = Out.data();
    Z.avail_out = static_cast<uInt>(Out.size());
    const int Code = deflate(&Z, Z_FINISH);
    deflateEnd(&Z);
    if (Code != Z_STREAM_END) throw std::runtime_error("deflate failed");
    Out.resize(Z.total_out);
    return Out;
}

inline Runtime::TBytes Text(const std::string& S) {
    return Runtime::TBytes(S.begin(), S.end());
}

inline Runtime::TBytes RandomBytes(std::size_t N, unsigned Seed) {
    std::mt19937_64 Gen(Seed);
    Runtime::TBytes Out(N);
    for (std::size_t I = 0; I < N; I += 8) {
        const std::uint64_t Word = Gen();
        std::memcpy(Out.data() + I, &Word, std::min<std::size_t>(8, N - I));
    }
    return Out;
}

// Words from a small vocabulary: compresses well, like the text bodies servers send.
inline Runtime::TBytes Prose(std::size_t N, unsigned Seed) {
    static const char* Words[] = {"alpha ", "bravo ", "charlie ", "delta\n", "echo ", "{\"k\":1} "};
    std::mt19937 Gen(Seed);
    Runtime::TBytes Out;
    Out.reserve(N + 16);
    while (Out.size() < N) {
        const char* W = Words[Gen() % 6];
        Out.insert(Out.end(), W, W + std::strlen(W));
    }
    Out.resize(N);
    return Out;
}

}  // namespace ZlibTest
