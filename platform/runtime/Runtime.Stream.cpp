#include "Runtime.Stream.h"

#include <algorithm>
#include <cstring>

namespace Runtime {

std::int64_t TStream::Size() {
    const std::int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t Result = Seek(0, TSeekOrigin::soEnd);
    Seek(Pos, TSeekOrigin::soBeginning);
    return Result;
}

void TStream::SetSize(std::int64_t) {
    throw EStreamError("Stream cannot be resized");
}

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    std::int64_t Done = 0;
    while (Done < Count) {
        const std::int64_t N = Read(Out + Done, Count - Done);
        if (N <= 0) throw EStreamError("Stream read error");
        Done += N;
    }
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
    const auto* In = static_cast<const std::uint8_t*>(Buffer);
    std::int64_t Done = 0;
    while (Done < Count) {
        const std::int64_t N = Write(In + Done, Count - Done);
        if (N <= 0) throw EStreamError("Stream write error");
        Done += N;
    }
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
    constexpr std::int64_t BufferSize = 64 * 1024;
    std::vector<std::uint8_t> Buffer(BufferSize);
    std::int64_t Total = 0;
    const bool All = Count <= 0;
    while (All || Total < Count) {
        const std::int64_t Want = All ? BufferSize : std::min(BufferSize, Count - Total);
        const std::int64_t N = Source.Read(Buffer.data(), Want);
        if (N <= 0) {
            if (!All) throw EStreamError("Stream read error");
            break;
        }
        WriteBuffer(Buffer.data(), N);
        Total += N;
    }
    return Total;
}

std::int64_t TBytesStream::Read(void* Buffer, std::int64_t Count) {
    const std::int64_t Available = Size() - FPosition;
    const std::int64_t N = std::min(Count, Available);
    if (N <= 0) return 0;
    std::memcpy(Buffer, FBytes.data() + FPosition, static_cast<std::size_t>(N));
    FPosition += N;
    return N;
}

std::int64_t TBytesStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    const std::int64_t End = FPosition + Count;
    if (End > Size()) FBytes.resize(static_cast<std::size_t>(End));
    std::memcpy(FBytes.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
    FPosition = End;
    return Count;
}

std::int64_t TBytesStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    std::int64_t Base = 0;
    switch (Origin) {
        case TSeekOrigin::soBeginning:
            Base = 0;
            break;
        case TSeekOrigin::soCurrent:
            Base = FPosition;
            break;
        case TSeekOrigin::soEnd:
            Base = Size();
            break;
    }
    const std::int64_t Target = Base + Offset;
    if (Target < 0) throw EStreamError("Invalid stream position");
    FPosition = Target;
    return FPosition;
}

void TBytesStream::SetSize(std::int64_t NewSize) {
    if (NewSize < 0) throw EStreamError("Invalid stream size");
    FBytes.resize(static_cast<std::size_t>(NewSize));
    FPosition = std::min(FPosition, NewSize);
}

TBytes TBytesStream::TakeBytes() noexcept {
    TBytes Result = std::move(FBytes);
    FBytes.clear();
    FPosition = 0;
    return Result;
}

void TBytesStream::Clear() noexcept {
    FBytes.clear();
    FPosition = 0;
}

}  // namespace Runtime
