#pragma once
// Nimbra.InProc.Context: one in-process exchange: the server request built from a client
// request, whose body is pulled from the client's body stream, and a server response whose
// body bytes are kept in memory for the client side to read.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Nimbra.Http.Engine.h"
#include "Nimbra.HttpServer.Context.h"

namespace Nimbra {

class TInProcHttpContext;

/// The server request's body: the client request's body stream read ahead in blocks of
/// BufferSize bytes into one buffer (made on the first read), never handing out more than
/// the client request's ContentLength in total. Reads the client stream forward from where
/// it stands and never moves it. The client request must outlive this stream's reads.
class TInProcHttpServerRequestStream : public THttpRequestStream {
  public:
    static constexpr std::int64_t BufferSize = 65536;

    explicit TInProcHttpServerRequestStream(THttpRequest& AClientRequest);

  protected:
    /// The client request's ContentLength, asked once.
    std::int64_t GetContentLength() override;
    std::int64_t ReadContent(void* Buffer, std::int64_t Count) override;

  private:
    std::int64_t ReadFromBuffer(std::uint8_t* Dest, std::int64_t Len);
    void FillBuffer();

    THttpRequest* FClientRequest;  // not owned
    Runtime::TStream* FStream;     // the client's body stream, not owned; may be null
    std::optional<std::int64_t> FContentLength;
    std::int64_t FTotalRead = 0;  // body bytes handed out so far
    std::unique_ptr<std::uint8_t[]> FBuffer;
    std::int64_t FBufferPos = 0;      // next unread byte in FBuffer
    std::int64_t FBufferDataLen = 0;  // valid bytes in FBuffer
    bool FEof = false;                // the client stream has reported its end
};

/// The captured body of an in-process response: a growable in-memory byte stream held in
/// blocks, so growing never moves or zero-fills what it holds. Blocks start small and double
/// up to LastSmallBlockSize; after that every block has BlockSize.
///
/// Blocks of BlockSize come from, and go back to, a process-wide pool when the stream is
/// freed: it keeps at most PoolLimit of them (64 MiB) for the next exchanges, frees any
/// given back beyond that at once, and frees all it keeps on ReleasePooledBlocks. A large
/// body then finds its memory mapped already instead of faulting in fresh pages every time
/// (the allocator hands blocks this large back to the system when freed). On Linux each such
/// block is a mapping of its own, aligned to its size, and the kernel is asked to back the
/// ones made for a stream's second and later full blocks with transparent huge pages: the
/// first large body of a process then faults its memory in 2 MiB at a time, some 600 faults
/// for 64 MiB instead of 16,384, where each fault costs tens of microseconds on a virtual
/// machine. (A huge page is resident whole once touched; a body of a few hundred KiB, with
/// one full block, keeps to ordinary pages.)
///
/// A write of at least AlignedWriteSize bytes at the end keeps each byte at the same offset
/// within a cache line as in the writer's buffer, leaving up to CacheLine - 1 bytes of a block
/// unused where needed. A chunk's size line would otherwise shift the data against the lines
/// of the buffers it is copied from and, later, into; a copy between buffers whose lines do
/// not match costs up to half as much again on some machines.
///
/// The bytes of such writes past CachedPart go into memory with stores that bypass the
/// cache, where the processor has them: a body that large is read back from memory anyway,
/// as the later bytes push the earlier ones out of the cache before the reader comes to them,
/// so ordinary stores would only read each line of the blocks in before overwriting it, and
/// evict what the cache held.
class TInProcContentStream : public Runtime::TStream {
  public:
    static constexpr std::int64_t FirstBlockSize = 4096;
    static constexpr std::int64_t LastSmallBlockSize = 64 * 1024;
    /// A multiple of the huge page size (2 MiB on x86-64), so that a block is whole pages.
    static constexpr std::int64_t BlockSize = std::int64_t{2} << 20;
    /// Most pooled blocks kept for later exchanges (64 MiB); more are freed.
    static constexpr std::size_t PoolLimit = 32;
    static constexpr std::int64_t AlignedWriteSize = 4096;
    static constexpr std::int64_t CacheLine = 64;
    static constexpr std::int64_t CachedPart = std::int64_t{8} << 20;

    TInProcContentStream() = default;
    ~TInProcContentStream() override;

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    /// Writes at the position, growing the stream as needed; a gap left by a position past
    /// the end reads as zeros.
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override;
    std::int64_t Size() override { return FSize; }

    /// A copy of the whole content, independent of the position.
    Runtime::TBytes Bytes() const;

    /// Blocks of BlockSize the pool keeps at the moment, for no stream.
    static std::size_t PooledBlocks() noexcept;
    /// Frees every block the pool keeps (blocks of live streams go back to it later as ever),
    /// for a process done with large bodies for a while that wants the memory back.
    static void ReleasePooledBlocks() noexcept;

  private:
    friend class TInProcBlockPool;

    /// Frees a block's memory the way it was allocated (blocks of BlockSize may be mappings
    /// of their own).
    struct TBlockRelease {
        std::int64_t Size = 0;
        void operator()(std::uint8_t* Data) const noexcept;
    };
    using TBlockData = std::unique_ptr<std::uint8_t[], TBlockRelease>;
    /// New, uninitialised memory for a block of Size bytes; throws std::bad_alloc. HugePages
    /// asks for a full block to be backed by huge pages, each resident whole once touched.
    static TBlockData AllocateBlock(std::int64_t Size, bool HugePages = false);

    /// Memory the stream holds; freed, or given back to the pool, with the stream.
    struct TBlock {
        TBlockData Data;
        std::int64_t Size;
    };
    /// A run of consecutive stream bytes lying together in one block. The spans cover the
    /// stream from offset 0 to the capacity without gaps; a block holds one or more of them.
    struct TSpan {
        std::uint8_t* Data;  // where the span's first byte is, inside a block
        std::int64_t Start;  // stream offset of that byte
        std::int64_t Size;
    };

    /// Adds blocks until the capacity reaches Capacity. With Phase, each new block's span
    /// starts where stream offset O lies at an address equal to Phase + O modulo CacheLine.
    void Reserve(std::int64_t Capacity, std::optional<std::uintptr_t> Phase = std::nullopt);
    /// Lets the capacity after the end start at an address equal to Phase + Size() modulo
    /// CacheLine, skipping the few bytes of the last span that are in the way.
    void AlignEnd(std::uintptr_t Phase);
    /// The span holding stream offset Offset (< capacity).
    std::size_t SpanAt(std::int64_t Offset) const;

    std::vector<TBlock> FBlocks;
    std::vector<TSpan> FSpans;
    std::int64_t FCapacity = 0;  // the spans' total size
    std::int64_t FSize = 0;
    std::int64_t FPosition = 0;
};

/// The server response of an in-process exchange: status, reason and headers stay in the
/// object, and every raw body byte (with chunk framing when chunked) is appended to
/// CachedContent. No status line or header block is produced.
class TInProcHttpServerResponse : public THttpServerResponse {
  public:
    explicit TInProcHttpServerResponse(TInProcHttpContext& AContext) : FContext(&AContext) {}

    /// The raw body bytes written so far; lives as long as the response.
    TInProcContentStream& CachedContent() noexcept { return FCachedContent; }
    TInProcHttpContext& Context() const noexcept { return *FContext; }

  protected:
    void DoClose() override {}
    void DoWriteHeaders() override {}
    std::int64_t DoWrite(const void* Buffer, std::int64_t Count) override;

  private:
    TInProcHttpContext* FContext;  // the context owning this response
    TInProcContentStream FCachedContent;
};

/// The exchange for one client request: a server request carrying the client's method
/// ("GET" when empty), URL, headers (exactly the client's) and body, and an in-process server
/// response. Owns both. The client request must live while the server runs (its body is
/// read then); afterwards the context no longer touches it.
class TInProcHttpContext : public THttpServerContext {
  public:
    explicit TInProcHttpContext(THttpRequest& AClientRequest);
    ~TInProcHttpContext() override;

    /// The raw response body captured so far.
    Runtime::TStream& ResponseContent() noexcept { return FResponse->CachedContent(); }
    TInProcHttpServerResponse& InProcResponse() noexcept { return *FResponse; }

  protected:
    THttpServerRequest& GetRequest() override { return *FRequest; }
    THttpServerResponse& GetResponse() override { return *FResponse; }

  private:
    std::unique_ptr<THttpServerRequest> FRequest;
    std::unique_ptr<TInProcHttpServerResponse> FResponse;
};

}  // namespace Nimbra
