// The chunked coding both ways: what the writer frames, the reader gives back whole, in
// chunks the reader accepts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InProc.TestSupport.h"
#include "Nimbra.Http.Chunked.h"

namespace {

using Nimbra::MaxChunkSize;
using Nimbra::THttpChunkedReader;
using Nimbra::THttpChunkedWriter;

/// The sizes of the chunks in a framed body, the last chunk's 0 included.
std::vector<std::int64_t> ChunkSizes(const Runtime::TBytes& Framed) {
    std::vector<std::int64_t> Sizes;
    std::size_t P = 0;
    while (P < Framed.size()) {
        std::int64_t Size = 0;
        for (; Framed[P] != '\r'; ++P) {
            const char C = static_cast<char>(Framed[P]);
            Size = Size * 16 + (C <= '9' ? C - '0' : C - 'A' + 10);
        }
        Sizes.push_back(Size);
        P += 2 + static_cast<std::size_t>(Size) + 2;
    }
    return Sizes;
}

TEST(HttpChunked, WriterOutputReadsBackWhole) {
    struct {
        const char* Name;
        std::vector<std::int64_t> Writes;
        std::int64_t MinChunkSize;
        std::vector<std::int64_t> Chunks;
    } Cases[] = {
        {"nothing written", {}, 16, {0}},
        {"small writes gathered into one chunk", {3, 4, 5}, 16, {12, 0}},
        {"the write that reaches the minimum sends all", {10, 6, 1}, 16, {16, 1, 0}},
        {"every write its own chunk", {1, 2, 3}, 0, {1, 2, 3, 0}},
        {"a write beyond the largest chunk is split",
         {MaxChunkSize * 2 + 5},
         16,
         {MaxChunkSize, MaxChunkSize, 5, 0}},
        {"gathered bytes and a large write split together",
         {7, MaxChunkSize},
         16,
         {MaxChunkSize, 7, 0}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::int64_t Total = 0;
        for (auto W : C.Writes) Total += W;
        const Runtime::TBytes Body = InProcTest::PatternBytes(Total);
        Runtime::TBytesStream Framed;
        THttpChunkedWriter Writer(Framed);
        std::int64_t Offset = 0;
        for (auto W : C.Writes) {
            EXPECT_EQ(Writer.Write(Body.data() + Offset, W, C.MinChunkSize), W);
            Offset += W;
        }
        Writer.Finish();
        EXPECT_EQ(ChunkSizes(Framed.Bytes()), C.Chunks);

        Framed.SetPosition(0);
        THttpChunkedReader Reader(Framed);
        Runtime::TBytes Back, Piece(65536);
        while (const std::int64_t N = Reader.Read(Piece.data(), 65536))
            Back.insert(Back.end(), Piece.begin(), Piece.begin() + N);
        EXPECT_TRUE(Reader.Finished());
        EXPECT_EQ(Back.size(), Body.size());
        EXPECT_TRUE(Back == Body);
        EXPECT_EQ(Framed.Position(), Framed.Size()) << "the reader stops at the body's end";
    }
}

}  // namespace
