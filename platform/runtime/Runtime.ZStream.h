#pragma once
// Runtime.ZStream: a read-only stream that inflates zlib- or gzip-wrapped data pulled from
// another stream as the reader asks for it.

#include <cstdint>
#include <memory>

#include "Runtime.Stream.h"

namespace Runtime {

/// Inflates the compressed bytes of a source stream on demand, holding only one input buffer
/// and zlib's window, so a body of any size streams through bounded memory. The source is not
/// owned and must outlive this stream; it is only read forward and never asked to move back.
/// Corrupt data, and a source that ends before the compressed data does, raise
/// EDecompressionError with zlib's message; a source that is empty from the start is an empty
/// body. gzip data is read member after member while another member follows directly; other
/// bytes after the end of the data are ignored.
class TDecompressionStream : public TStream {
  public:
    /// zlib-wrapped data (two-byte header, deflate data, Adler-32 trailer).
    static constexpr int ZlibWindowBits = 15;
    /// gzip-wrapped data (gzip header, deflate data, CRC-32 and length trailer).
    static constexpr int GzipWindowBits = 31;

    /// WindowBits as for inflateInit2. Raises EDecompressionError when zlib refuses them.
    TDecompressionStream(TStream& Source, int WindowBits);
    ~TDecompressionStream() override;

    /// Fills the buffer completely unless the compressed data ends first.
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    /// Raises EStreamError: the stream is read-only.
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    /// Answers position questions only (like a response stream): 0 from the current position
    /// or the end gives the bytes produced so far, 0 from the beginning is allowed before the
    /// first byte. Anything else raises EStreamError.
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    /// The bytes produced so far; the full size is unknown until the data ends.
    std::int64_t Size() override { return FTotalOut; }

  private:
    struct TState;

    /// Reads more of the source into the input buffer, after the input not yet consumed.
    void Refill();
    /// After a gzip member: whether the next bytes open another one.
    bool NextMemberFollows();

    TStream& FSource;
    std::unique_ptr<TState> FState;
    std::int64_t FSourcePos = 0;  // where the source was after our last read from it
    std::int64_t FTotalIn = 0;
    std::int64_t FTotalOut = 0;
    bool FFinished = false;
    bool FGzipMembers;  // gzip, or detected from the header: members may follow one another
};

}  // namespace Runtime
