#include "Nimbra.InProc.Context.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#define NIMBRA_HUGE_BLOCKS 1
#endif

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define NIMBRA_STREAMING_STORES 1
#endif

namespace Nimbra {

// ---- Block memory and the pool ------------------------------------------------------------

void TInProcContentStream::TBlockRelease::operator()(std::uint8_t* Data) const noexcept {
#ifdef NIMBRA_HUGE_BLOCKS
    if (Size == BlockSize) {
        munmap(Data, static_cast<std::size_t>(Size));
        return;
    }
#endif
    std::free(Data);
}

TInProcContentStream::TBlockData TInProcContentStream::AllocateBlock(
    std::int64_t Size, [[maybe_unused]] bool HugePages) {
    const auto Bytes = static_cast<std::size_t>(Size);
#ifdef NIMBRA_HUGE_BLOCKS
    if (Size == BlockSize) {
        // A mapping twice the size holds a run of Size bytes aligned to Size; the rest goes
        // back at once. Only a run the kernel can cover with huge pages gets them.
        void* const Map =
            mmap(nullptr, 2 * Bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (Map == MAP_FAILED) throw std::bad_alloc();
        auto* const Start = static_cast<std::uint8_t*>(Map);
        auto* const Data =
            Start + (Bytes - reinterpret_cast<std::uintptr_t>(Start) % Bytes) % Bytes;
        if (Data > Start) munmap(Start, static_cast<std::size_t>(Data - Start));
        if (Data + Bytes < Start + 2 * Bytes)
            munmap(Data + Bytes, static_cast<std::size_t>(Start + 2 * Bytes - (Data + Bytes)));
        // Only a hint: without transparent huge pages the block has ordinary pages. Said
        // either way, since where they are on for all memory this block would get one too.
        madvise(Data, Bytes, HugePages ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
        return TBlockData(Data, TBlockRelease{Size});
    }
#endif
    // Not initialised: every byte is written before it is read.
    auto* const Data = static_cast<std::uint8_t*>(std::malloc(Bytes));
    if (Data == nullptr) throw std::bad_alloc();
    return TBlockData(Data, TBlockRelease{Size});
}

/// Full-size blocks of finished captured bodies, waiting for the next exchange.
class TInProcBlockPool {
  public:
    using TBlockData = TInProcContentStream::TBlockData;

    // Room for every block the pool keeps, so that giving one back never allocates.
    TInProcBlockPool() { FFree.reserve(TInProcContentStream::PoolLimit); }

    static TInProcBlockPool& Get() {
        // Never destroyed: a captured body freed during shutdown still has a pool to return to.
        static TInProcBlockPool& Pool = *new TInProcBlockPool;
        return Pool;
    }

    /// A pooled block, else a new one (with HugePages as for AllocateBlock).
    TBlockData Take(bool HugePages) {
        {
            const std::lock_guard<std::mutex> Guard(FLock);
            if (!FFree.empty()) {
                TBlockData Block = std::move(FFree.back());
                FFree.pop_back();
                return Block;
            }
        }
        return TInProcContentStream::AllocateBlock(TInProcContentStream::BlockSize, HugePages);
    }
    /// Keeps the block for later, or frees it (outside the lock) when the pool is full.
    void Give(TBlockData Block) noexcept {
        const std::lock_guard<std::mutex> Guard(FLock);
        if (FFree.size() < TInProcContentStream::PoolLimit) FFree.push_back(std::move(Block));
    }
    std::size_t Size() noexcept {
        const std::lock_guard<std::mutex> Guard(FLock);
        return FFree.size();
    }
    void Release() noexcept {
        // Under the lock, keeping the room for every block: a rare call, and freeing a block
        // is quick.
        const std::lock_guard<std::mutex> Guard(FLock);
        FFree.clear();
    }

  private:
    std::mutex FLock;
    std::vector<TBlockData> FFree;
};

namespace {

/// memcpy with stores that bypass the cache where the processor has them.
void CopyPastCache(std::uint8_t* To, const std::uint8_t* From, std::size_t Count) {
#ifdef NIMBRA_STREAMING_STORES
    constexpr std::size_t Vec = sizeof(__m128i);
    // Streaming stores want aligned targets: the bytes up to the first such one go as usual.
    const std::size_t Head =
        std::min(Count, (Vec - reinterpret_cast<std::uintptr_t>(To) % Vec) % Vec);
    std::memcpy(To, From, Head);
    std::size_t I = Head;
    for (; I + 4 * Vec <= Count; I += 4 * Vec) {
        const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(From + I));
        const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(From + I + Vec));
        const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(From + I + 2 * Vec));
        const __m128i D = _mm_loadu_si128(reinterpret_cast<const __m128i*>(From + I + 3 * Vec));
        _mm_stream_si128(reinterpret_cast<__m128i*>(To + I), A);
        _mm_stream_si128(reinterpret_cast<__m128i*>(To + I + Vec), B);
        _mm_stream_si128(reinterpret_cast<__m128i*>(To + I + 2 * Vec), C);
        _mm_stream_si128(reinterpret_cast<__m128i*>(To + I + 3 * Vec), D);
    }
    std::memcpy(To + I, From + I, Count - I);
    // Streaming stores are not ordered with later ones; whoever reads the bytes next, on
    // this thread or another, must find them written.
    _mm_sfence();
#else
    std::memcpy(To, From, Count);
#endif
}

}  // namespace

// ---- TInProcContentStream -----------------------------------------------------------------

TInProcContentStream::~TInProcContentStream() {
    for (TBlock& Block : FBlocks)
        if (Block.Size == BlockSize) TInProcBlockPool::Get().Give(std::move(Block.Data));
}

std::size_t TInProcContentStream::PooledBlocks() noexcept {
    return TInProcBlockPool::Get().Size();
}

void TInProcContentStream::ReleasePooledBlocks() noexcept {
    TInProcBlockPool::Get().Release();
}

void TInProcContentStream::Reserve(std::int64_t Capacity, std::optional<std::uintptr_t> Phase) {
    while (FCapacity < Capacity) {
        const std::int64_t Size = FBlocks.empty() ? FirstBlockSize
                                  : FBlocks.back().Size < LastSmallBlockSize
                                      ? FBlocks.back().Size * 2
                                      : BlockSize;
        // A stream's first full block is made with ordinary pages, so that a body of a few
        // hundred KiB does not make 2 MiB resident; from the second on the body is large.
        TBlockData Data = Size == BlockSize
                              ? TInProcBlockPool::Get().Take(FBlocks.back().Size == BlockSize)
                              : AllocateBlock(Size);
        std::int64_t Skip = 0;
        if (Phase) {
            const std::uintptr_t Want = *Phase + static_cast<std::uintptr_t>(FCapacity);
            Skip = static_cast<std::int64_t>((Want - reinterpret_cast<std::uintptr_t>(Data.get())) %
                                             CacheLine);
        }
        std::uint8_t* const First = Data.get() + Skip;
        // The block is owned before a span refers to it, so that a failure in between leaves
        // no span pointing into freed memory.
        FBlocks.push_back({std::move(Data), Size});
        FSpans.push_back({First, FCapacity, Size - Skip});
        FCapacity += Size - Skip;
    }
}

void TInProcContentStream::AlignEnd(std::uintptr_t Phase) {
    // Only the last span reaches past the end once anything is written; before that, or when
    // the end is exactly the capacity, the next block is placed by Reserve.
    if (FSize >= FCapacity || FSpans.back().Start > FSize) return;
    std::uint8_t* const End = FSpans.back().Data + (FSize - FSpans.back().Start);
    const auto Skip = static_cast<std::int64_t>(
        (Phase + static_cast<std::uintptr_t>(FSize) - reinterpret_cast<std::uintptr_t>(End)) %
        CacheLine);
    if (Skip == 0) return;
    // Room for the span split off, before anything changes.
    if (FSpans.size() == FSpans.capacity()) FSpans.reserve(2 * FSpans.size());
    TSpan& Last = FSpans.back();
    const std::int64_t Room = FCapacity - FSize;
    if (Last.Start == FSize)
        FSpans.pop_back();
    else
        Last.Size = FSize - Last.Start;
    // A room no larger than the skip is left unused; Reserve places the next block.
    if (Room > Skip) FSpans.push_back({End + Skip, FSize, Room - Skip});
    FCapacity = FSize + std::max<std::int64_t>(Room - Skip, 0);
}

std::size_t TInProcContentStream::SpanAt(std::int64_t Offset) const {
    auto It = std::upper_bound(FSpans.begin(), FSpans.end(), Offset,
                               [](std::int64_t O, const TSpan& S) { return O < S.Start; });
    return static_cast<std::size_t>(It - FSpans.begin()) - 1;
}

std::int64_t TInProcContentStream::Read(void* Buffer, std::int64_t Count) {
    const std::int64_t N = std::min(Count, FSize - FPosition);
    if (N <= 0) return 0;
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    std::size_t I = SpanAt(FPosition);
    for (std::int64_t Done = 0; Done < N; ++I) {
        const TSpan& S = FSpans[I];
        const std::int64_t From = FPosition + Done - S.Start;
        const std::int64_t Piece = std::min(N - Done, S.Size - From);
        std::memcpy(Out + Done, S.Data + From, static_cast<std::size_t>(Piece));
        Done += Piece;
    }
    FPosition += N;
    return N;
}

std::int64_t TInProcContentStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    const auto* In = static_cast<const std::uint8_t*>(Buffer);
    const std::int64_t End = FPosition + Count;
    std::optional<std::uintptr_t> Phase;
    if (FPosition == FSize && Count >= AlignedWriteSize) {
        // Stream offset O of this write lies in the caller's buffer at Phase + O.
        Phase = reinterpret_cast<std::uintptr_t>(In) - static_cast<std::uintptr_t>(FPosition);
        AlignEnd(*Phase);
    }
    Reserve(End, Phase);
    // A gap between the old end and the position reads as zeros, as in other memory streams.
    for (std::int64_t Gap = FSize; Gap < FPosition;) {
        const TSpan& S = FSpans[SpanAt(Gap)];
        const std::int64_t Piece = std::min(FPosition, S.Start + S.Size) - Gap;
        std::memset(S.Data + (Gap - S.Start), 0, static_cast<std::size_t>(Piece));
        Gap += Piece;
    }
    std::size_t I = SpanAt(FPosition);
    for (std::int64_t Done = 0; Done < Count; ++I) {
        const TSpan& S = FSpans[I];
        const std::int64_t To = FPosition + Done - S.Start;
        const std::int64_t Piece = std::min(Count - Done, S.Size - To);
        if (Phase && FPosition + Done >= CachedPart)
            CopyPastCache(S.Data + To, In + Done, static_cast<std::size_t>(Piece));
        else
            std::memcpy(S.Data + To, In + Done, static_cast<std::size_t>(Piece));
        Done += Piece;
    }
    FPosition = End;
    FSize = std::max(FSize, End);
    return Count;
}

std::int64_t TInProcContentStream::Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) {
    std::int64_t Base = 0;
    switch (Origin) {
        case Runtime::TSeekOrigin::soBeginning:
            break;
        case Runtime::TSeekOrigin::soCurrent:
            Base = FPosition;
            break;
        case Runtime::TSeekOrigin::soEnd:
            Base = FSize;
            break;
    }
    if (Base + Offset < 0) throw Runtime::EStreamError("Invalid stream position");
    FPosition = Base + Offset;
    return FPosition;
}

Runtime::TBytes TInProcContentStream::Bytes() const {
    Runtime::TBytes Result;
    Result.reserve(static_cast<std::size_t>(FSize));
    for (const TSpan& S : FSpans) {
        const std::int64_t Piece = std::min(S.Size, FSize - S.Start);
        if (Piece <= 0) break;
        Result.insert(Result.end(), S.Data, S.Data + Piece);
    }
    return Result;
}

// ---- TInProcHttpServerRequestStream -------------------------------------------------------

TInProcHttpServerRequestStream::TInProcHttpServerRequestStream(THttpRequest& AClientRequest)
    : FClientRequest(&AClientRequest), FStream(AClientRequest.ContentStream()) {}

std::int64_t TInProcHttpServerRequestStream::GetContentLength() {
    // Asked once: a stream's size may cost a seek to its end and back.
    if (!FContentLength) FContentLength = FClientRequest->ContentLength();
    return *FContentLength;
}

std::int64_t TInProcHttpServerRequestStream::ReadContent(void* Buffer, std::int64_t Count) {
    const std::int64_t Want = std::clamp<std::int64_t>(GetContentLength() - FTotalRead, 0, Count);
    if (Want == 0 || FStream == nullptr) return 0;
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    std::int64_t Total = 0;
    while (Total < Want) {
        const std::int64_t Got = ReadFromBuffer(Out + Total, Want - Total);
        if (Got == 0) break;
        Total += Got;
    }
    FTotalRead += Total;
    return Total;
}

std::int64_t TInProcHttpServerRequestStream::ReadFromBuffer(std::uint8_t* Dest, std::int64_t Len) {
    FillBuffer();
    const std::int64_t N = std::min(Len, FBufferDataLen - FBufferPos);
    if (N <= 0) return 0;
    std::memcpy(Dest, FBuffer.get() + FBufferPos, static_cast<std::size_t>(N));
    FBufferPos += N;
    return N;
}

void TInProcHttpServerRequestStream::FillBuffer() {
    if (FBufferDataLen > FBufferPos || FEof) return;
    // Made here rather than up front: most requests have no body, or one nobody reads.
    if (!FBuffer) FBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(BufferSize);
    // Only 0 marks the end: a stream may well hand out less than asked before its end.
    const std::int64_t Got = FStream->Read(FBuffer.get(), BufferSize);
    FBufferDataLen = std::max<std::int64_t>(Got, 0);
    FBufferPos = 0;
    FEof = FBufferDataLen == 0;
}

// ---- TInProcHttpServerResponse ------------------------------------------------------------

std::int64_t TInProcHttpServerResponse::DoWrite(const void* Buffer, std::int64_t Count) {
    return FCachedContent.Write(Buffer, Count);
}

// ---- TInProcHttpContext -------------------------------------------------------------------

TInProcHttpContext::TInProcHttpContext(THttpRequest& AClientRequest)
    : FRequest(std::make_unique<THttpServerRequest>()) {
    FRequest->SetMethod(AClientRequest.Method().empty() ? "GET" : AClientRequest.Method());
    FRequest->SetRawUri(AClientRequest.Uri());
    // Entry for entry, and nothing added: the collection's copy.
    FRequest->Headers() = AClientRequest.Headers();
    FRequest->SetContentStream(std::make_unique<TInProcHttpServerRequestStream>(AClientRequest));
    FResponse = std::make_unique<TInProcHttpServerResponse>(*this);
}

// The request goes first: its body stream is the part that refers to the client.
TInProcHttpContext::~TInProcHttpContext() {
    FRequest.reset();
    FResponse.reset();
}

}  // namespace Nimbra
