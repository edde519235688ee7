#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Runtime.ZStream.h"
#include "Zlib.TestData.h"

using Runtime::EDecompressionError;
using Runtime::EStreamError;
using Runtime::TBytes;
using Runtime::TBytesStream;
using Runtime::TDecompressionStream;
using Runtime::TSeekOrigin;
using Runtime::TStream;
using namespace ZlibTest;

namespace {

int BitsOf(TWrap Wrap) {
    return Wrap == TWrap::Gzip   ? TDecompressionStream::GzipWindowBits
           : Wrap == TWrap::Zlib ? TDecompressionStream::ZlibWindowBits
                                 : -15;
}

// A forward-only source like a response body: hands out at most Piece bytes per read, answers
// position questions and refuses to move.
class TForwardSource : public TStream {
  public:
    TForwardSource(TBytes Data, std::int64_t Piece) : FData(std::move(Data)), FPiece(Piece) {}
    std::int64_t Read(void* Buffer, std::int64_t Count) override {
        const std::int64_t N =
            std::min({Count, FPiece, static_cast<std::int64_t>(FData.size()) - FPos});
        if (N <= 0) return 0;
        std::memcpy(Buffer, FData.data() + FPos, static_cast<std::size_t>(N));
        FPos += N;
        return N;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override {
        if (Offset == 0 && Origin != TSeekOrigin::soBeginning) return FPos;
        throw EStreamError("moved");
    }
    std::int64_t Delivered() const { return FPos; }

  private:
    TBytes FData;
    std::int64_t FPiece;
    std::int64_t FPos = 0;
};

TBytes ReadAll(TStream& S, std::int64_t Piece) {
    TBytes Out;
    TBytes Buf(static_cast<std::size_t>(Piece));
    for (;;) {
        const std::int64_t N = S.Read(Buf.data(), Piece);
        if (N == 0) break;
        Out.insert(Out.end(), Buf.begin(), Buf.begin() + N);
    }
    return Out;
}

}  // namespace

TEST(DecompressionStream, RoundTripsThroughAnyReadAndSourcePieces) {
    struct TCase {
        const char* Name;
        TWrap Wrap;
        TBytes Payload;
        std::int64_t ReadPiece;
        std::int64_t SourcePiece;
    };
    std::string Sentence;
    for (int I = 0; I < 20; ++I) Sentence += "The quick brown fox jumps over the lazy dog. ";
    const TBytes Repeated = Text(Sentence);
    const TCase Cases[] = {
        {"gzip empty payload", TWrap::Gzip, {}, 4096, 1 << 20},
        {"zlib empty payload", TWrap::Zlib, {}, 4096, 1 << 20},
        {"gzip short text", TWrap::Gzip, Text("Hello, compressed world!"), 4096, 1 << 20},
        {"zlib short text, 1-byte reads", TWrap::Zlib, Text("Hello, compressed world!"), 1, 3},
        {"gzip incompressible 1 MiB", TWrap::Gzip, RandomBytes(1 << 20, 1), 65536, 1 << 20},
        {"zlib prose 3 MiB, odd pieces", TWrap::Zlib, Prose(3 << 20, 2), 7777, 1000},
        {"gzip prose, source by single bytes", TWrap::Gzip, Prose(300000, 3), 100000, 1},
        {"gzip prose, one read for more than all", TWrap::Gzip, Prose(200000, 4), 1 << 21, 1 << 20},
        // Raw deflate has no trailer: zlib takes in the last byte while output of it still
        // waits for room, which must not read as data cut short.
        {"raw deflate, 1-byte reads of a source read whole", TWrap::Raw, Prose(900, 6), 1, 1 << 20},
        {"raw deflate, odd pieces", TWrap::Raw, Prose(100000, 7), 17, 1},
        {"raw deflate of a repeated sentence, 1-byte pieces", TWrap::Raw, Repeated, 1, 1},
        {"raw deflate of a repeated sentence, 17-byte pieces", TWrap::Raw, Repeated, 17, 17},
        {"raw deflate of a repeated sentence, 1-byte reads", TWrap::Raw, Repeated, 1, 17},
        {"raw deflate of a repeated sentence, 17-byte reads", TWrap::Raw, Repeated, 17, 1},
        {"raw deflate empty payload", TWrap::Raw, {}, 4096, 1 << 20},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TForwardSource Source(Compress(C.Payload, C.Wrap), C.SourcePiece);
        TDecompressionStream Z(Source, BitsOf(C.Wrap));
        EXPECT_EQ(Z.Position(), 0);
        const TBytes Out = ReadAll(Z, C.ReadPiece);
        EXPECT_TRUE(Out == C.Payload) << "got " << Out.size() << " of " << C.Payload.size();
        EXPECT_EQ(Z.Position(), static_cast<std::int64_t>(C.Payload.size()));
        std::uint8_t B;
        EXPECT_EQ(Z.Read(&B, 1), 0) << "reads after the end keep answering 0";
    }
}

TEST(DecompressionStream, ReadFillsTheBufferUnlessTheDataEnds) {
    const TBytes Payload = Prose(100000, 5);
    TForwardSource Source(Compress(Payload, TWrap::Gzip), 17);
    TDecompressionStream Z(Source, TDecompressionStream::GzipWindowBits);
    TBytes Buf(60000);
    EXPECT_EQ(Z.Read(Buf.data(), 60000), 60000);
    EXPECT_EQ(Z.Read(Buf.data(), 60000), 40000);
    EXPECT_TRUE(std::equal(Buf.begin(), Buf.begin() + 40000, Payload.begin() + 60000));
}

TEST(DecompressionStream, TruncatedDataRaisesAtEveryCutButAnEmptySourceIsAnEmptyBody) {
    for (TWrap Wrap : {TWrap::Zlib, TWrap::Gzip}) {
        const TBytes Full = Compress(Prose(3000, 6), Wrap);
        for (std::size_t Cut = 0; Cut < Full.size(); ++Cut) {
            SCOPED_TRACE((Wrap == TWrap::Gzip ? "gzip cut at " : "zlib cut at ") +
                         std::to_string(Cut));
            TBytesStream Source(TBytes(Full.begin(), Full.begin() + Cut));
            TDecompressionStream Z(Source, BitsOf(Wrap));
            if (Cut == 0) {
                EXPECT_TRUE(ReadAll(Z, 4096).empty());
                continue;
            }
            try {
                ReadAll(Z, 4096);
                ADD_FAILURE() << "no error for truncated data";
            } catch (const EDecompressionError& E) {
                EXPECT_STREQ(E.what(), "unexpected end of file");
            }
        }
    }
}

TEST(DecompressionStream, CorruptDataRaisesZlibsMessage) {
    const TBytes Payload = Prose(50000, 7);
    TBytes BadAdler = Compress(Payload, TWrap::Zlib);
    BadAdler.back() ^= 0x01;
    TBytes BadCrc = Compress(Payload, TWrap::Gzip);
    BadCrc[BadCrc.size() - 8] ^= 0x01;
    TBytes BadLength = Compress(Payload, TWrap::Gzip);
    BadLength[BadLength.size() - 4] ^= 0x01;
    TBytes BadBlock = Compress(Payload, TWrap::Zlib);
    BadBlock[2] = 0xFF;  // first block header: reserved block type

    struct TCase {
        const char* Name;
        TBytes Data;
        int Bits;
        const char* Message;
    };
    const TCase Cases[] = {
        {"plain text", Text("this is not compressed at all"), 31, "incorrect header check"},
        {"gzip read as zlib", Compress(Payload, TWrap::Gzip), 15, "incorrect header check"},
        {"zlib read as gzip", Compress(Payload, TWrap::Zlib), 31, "incorrect header check"},
        {"raw deflate read as zlib", Compress(Payload, TWrap::Raw), 15, nullptr},
        {"zlib Adler-32 mismatch", BadAdler, 15, "incorrect data check"},
        {"gzip CRC-32 mismatch", BadCrc, 31, "incorrect data check"},
        {"gzip length mismatch", BadLength, 31, "incorrect length check"},
        {"invalid block type", BadBlock, 15, "invalid block type"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TBytesStream Source(C.Data);
        TDecompressionStream Z(Source, C.Bits);
        try {
            ReadAll(Z, 8192);
            ADD_FAILURE() << "no error for corrupt data";
        } catch (const EDecompressionError& E) {
            EXPECT_STREQ(E.ClassName(), "EDecompressionError");
            EXPECT_NE(std::string(E.what()), "");
            if (C.Message) {
                EXPECT_STREQ(E.what(), C.Message);
            }
        }
        // The stream stays broken rather than inventing data.
        std::uint8_t B;
        EXPECT_THROW(Z.Read(&B, 1), EDecompressionError);
    }
}

TEST(DecompressionStream, StopsAtTheEndOfTheDataAndLeavesTrailingBytes) {
    const TBytes Payload = Text("payload before the garbage");
    TBytes Data = Compress(Payload, TWrap::Gzip);
    const TBytes Garbage = Text("GARBAGE AFTER THE MEMBER");
    Data.insert(Data.end(), Garbage.begin(), Garbage.end());
    TBytesStream Source(Data);
    TDecompressionStream Z(Source, TDecompressionStream::GzipWindowBits);
    EXPECT_TRUE(ReadAll(Z, 5) == Payload);
}

TEST(DecompressionStream, GzipMembersThatFollowOneAnotherAreAllPartOfTheBody) {
    // Concatenated gzip files are one gzip body; stopping after the first member would hand
    // out a part of the body as the whole of it.
    const TBytes First = Prose(70000, 11);
    const TBytes Second = Text("and the second member");
    TBytes Data = Compress(First, TWrap::Gzip);
    const TBytes More = Compress(Second, TWrap::Gzip);
    const std::size_t SecondAt = Data.size();
    Data.insert(Data.end(), More.begin(), More.end());
    TBytes Both = First;
    Both.insert(Both.end(), Second.begin(), Second.end());
    struct {
        const char* Name;
        std::int64_t SourcePiece;
    } Cases[] = {
        {"one read for everything", 1 << 20},
        {"single bytes, so the member magic is split", 1},
        {"the first member ends one byte into a piece", static_cast<std::int64_t>(SecondAt) + 1},
        {"odd pieces", 977},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TForwardSource Source(Data, C.SourcePiece);
        TDecompressionStream Z(Source, TDecompressionStream::GzipWindowBits);
        EXPECT_TRUE(ReadAll(Z, 4096) == Both);
    }
    // A second member cut short is a cut body, as a first one is.
    TBytes Cut(Data.begin(), Data.end() - 5);
    TBytesStream Source(Cut);
    TDecompressionStream Z(Source, TDecompressionStream::GzipWindowBits);
    EXPECT_THROW(ReadAll(Z, 4096), EDecompressionError);
}

TEST(DecompressionStream, PullsTheSourceOnlyAsFarAsTheReaderNeeds) {
    const TBytes Payload = RandomBytes(8 << 20, 8);
    TForwardSource Source(Compress(Payload, TWrap::Gzip, 1), 1 << 20);
    TDecompressionStream Z(Source, TDecompressionStream::GzipWindowBits);
    TBytes Buf(1000);
    ASSERT_EQ(Z.Read(Buf.data(), 1000), 1000);
    EXPECT_LE(Source.Delivered(), 64 * 1024) << "whole body pulled for the first read";
    EXPECT_TRUE(std::equal(Buf.begin(), Buf.end(), Payload.begin()));
}

TEST(DecompressionStream, ContinuesWhereItsDataIsAfterSomeoneElseMovedASeekableSource) {
    const TBytes Payload = Prose(400000, 9);
    TBytesStream Source(Compress(Payload, TWrap::Zlib));
    TDecompressionStream Z(Source, TDecompressionStream::ZlibWindowBits);
    TBytes Buf(10);
    ASSERT_EQ(Z.Read(Buf.data(), 10), 10);
    Source.Seek(3, TSeekOrigin::soBeginning);
    TBytes Out(Buf);
    const TBytes Rest = ReadAll(Z, 4096);
    Out.insert(Out.end(), Rest.begin(), Rest.end());
    EXPECT_TRUE(Out == Payload);
}

TEST(DecompressionStream, NeverOwnsItsSource) {
    TBytesStream Source(Compress(Text("abc"), TWrap::Gzip));
    {
        TDecompressionStream Z(Source, TDecompressionStream::GzipWindowBits);
        EXPECT_TRUE(ReadAll(Z, 10) == Text("abc"));
    }
    EXPECT_EQ(Source.Position(), Source.Size());  // still alive and usable
    Source.SetPosition(0);
    TDecompressionStream Again(Source, TDecompressionStream::GzipWindowBits);
    EXPECT_TRUE(ReadAll(Again, 10) == Text("abc"));
}

TEST(DecompressionStream, IsReadOnlyAndOnlyAnswersPositionQuestions) {
    TBytesStream Source(Compress(Text("0123456789"), TWrap::Zlib));
    TDecompressionStream Z(Source, TDecompressionStream::ZlibWindowBits);
    EXPECT_EQ(Z.Seek(0, TSeekOrigin::soBeginning), 0);
    EXPECT_THROW(Z.Write("x", 1), EStreamError);
    std::uint8_t Buf[4];
    ASSERT_EQ(Z.Read(Buf, 4), 4);
    EXPECT_EQ(Z.Position(), 4);
    EXPECT_EQ(Z.Seek(0, TSeekOrigin::soEnd), 4);
    EXPECT_EQ(Z.Size(), 4);
    EXPECT_THROW(Z.Seek(0, TSeekOrigin::soBeginning), EStreamError);
    EXPECT_THROW(Z.Seek(1, TSeekOrigin::soCurrent), EStreamError);
    EXPECT_THROW(Z.Seek(-4, TSeekOrigin::soCurrent), EStreamError);
    EXPECT_EQ(Z.Read(Buf, 0), 0);
    EXPECT_EQ(Z.Read(Buf, -1), 0);
    ASSERT_EQ(Z.Read(Buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(Buf), 4), "4567");
}

TEST(DecompressionStream, RejectsWindowBitsZlibRefuses) {
    TBytesStream Source;
    EXPECT_THROW(TDecompressionStream(Source, 3), EDecompressionError);
}
