#pragma once
// The runtime's stream family: an abstract byte stream with read, write, seek and size, and
// TBytesStream, a growable in-memory stream. Sizes, counts and positions are 64-bit.

#include <cstdint>
#include <vector>

#include "Runtime.Exception.h"

namespace Runtime {

using TBytes = std::vector<std::uint8_t>;

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

/// Abstract byte stream. Forward-only streams answer position questions through Seek and
/// raise EStreamError when asked to move.
class TStream {
  public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    /// Reads up to Count bytes; returns how many were read (0 at the end).
    virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
    /// Writes up to Count bytes; returns how many were taken.
    virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
    /// Moves (or asks) the position; returns the new position.
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;
    /// The generic size computation: seek to the end and back.
    virtual std::int64_t Size();
    /// Streams that cannot be resized raise EStreamError.
    virtual void SetSize(std::int64_t NewSize);

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }

    /// Reads exactly Count bytes or raises EStreamError ("Stream read error").
    void ReadBuffer(void* Buffer, std::int64_t Count);
    /// Writes exactly Count bytes or raises EStreamError ("Stream write error").
    void WriteBuffer(const void* Buffer, std::int64_t Count);
    /// Copies Count bytes from Source (all that remains when Count is 0 or less); returns
    /// the number copied.
    std::int64_t CopyFrom(TStream& Source, std::int64_t Count = 0);
};

/// Growable in-memory byte stream; owns its bytes.
class TBytesStream : public TStream {
  public:
    TBytesStream() = default;
    explicit TBytesStream(TBytes Bytes) : FBytes(std::move(Bytes)) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(FBytes.size()); }
    void SetSize(std::int64_t NewSize) override;

    /// The stream's whole content, independent of the position.
    const TBytes& Bytes() const noexcept { return FBytes; }
    /// Hands the content out and leaves the stream empty at position 0.
    TBytes TakeBytes() noexcept;
    void Clear() noexcept;

  private:
    TBytes FBytes;
    std::int64_t FPosition = 0;
};

}  // namespace Runtime
