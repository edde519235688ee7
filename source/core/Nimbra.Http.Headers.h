#pragma once
// Nimbra.Http.Headers: the header collection shared by every message object.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Nimbra {

/// One header: lower-case name and trimmed value, plus their copies in the process
/// locale's code set. Only its collection changes it, by appending to the value when the
/// header repeats or continues on a folded line.
class THttpHeaderInfo {
  public:
    THttpHeaderInfo(std::string AName, std::string AValue);

    const std::string& Name() const noexcept { return FName; }
    const std::string& Value() const noexcept { return FValue; }
    /// The name and value in the process locale's code set (see Runtime::Utf8ToLocaleCodeSet).
    const std::string& AnsiName() const noexcept { return FAnsiName.empty() ? FName : FAnsiName; }
    const std::string& AnsiValue() const noexcept {
        return FAnsiValue.empty() ? FValue : FAnsiValue;
    }

  private:
    friend class THttpHeaders;

    /// Makes the value the trimmed text of value, Separator and Text, with the locale copy
    /// kept up to date; costs the length of Text, not of the value.
    void AppendToValue(char Separator, std::string_view Text);

    std::string FName;
    std::string FValue;
    // Empty when the converted text equals the UTF-8 one, as it does for ASCII; a conversion
    // never turns a non-empty text into an empty one.
    std::string FAnsiName;
    std::string FAnsiValue;
};

namespace Detail {

/// Hash of a lower-case header name, for looking names up without making a string of them.
struct THeaderNameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view Name) const noexcept {
        return std::hash<std::string_view>{}(Name);
    }
};

/// The entries of a collection by lower-case name.
using THeaderMap =
    std::unordered_map<std::string, THttpHeaderInfo, THeaderNameHash, std::equal_to<>>;

}  // namespace Detail

/// The entries of a header collection as a forward range; valid until the collection changes.
class THttpHeaderRange {
    using TMap = Detail::THeaderMap;

  public:
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = THttpHeaderInfo;
        using difference_type = std::ptrdiff_t;
        using pointer = const THttpHeaderInfo*;
        using reference = const THttpHeaderInfo&;

        Iterator() = default;
        explicit Iterator(TMap::const_iterator It) : FIt(It) {}
        reference operator*() const { return FIt->second; }
        pointer operator->() const { return &FIt->second; }
        Iterator& operator++() {
            ++FIt;
            return *this;
        }
        Iterator operator++(int) {
            Iterator Old = *this;
            ++FIt;
            return Old;
        }
        friend bool operator==(const Iterator&, const Iterator&) = default;

      private:
        TMap::const_iterator FIt;
    };

    explicit THttpHeaderRange(const TMap& Map) : FMap(&Map) {}
    Iterator begin() const { return Iterator(FMap->begin()); }
    Iterator end() const { return Iterator(FMap->end()); }
    std::size_t size() const noexcept { return FMap->size(); }
    bool empty() const noexcept { return FMap->empty(); }

  private:
    const TMap* FMap;
};

/// Read-only view of a header collection.
class IReadOnlyHttpHeaders {
  public:
    virtual ~IReadOnlyHttpHeaders() = default;
    virtual std::string Get(std::string_view HeaderName) const = 0;
    virtual bool Exists(std::string_view HeaderName) const = 0;
    virtual THttpHeaderRange AllHeaders() const = 0;
};

/// Map from ASCII-lower-cased header name to one trimmed value; repeated headers merge
/// into one comma-separated value. Converts to and from header-block text.
class THttpHeaders : public IReadOnlyHttpHeaders {
  public:
    /// Stores the trimmed value under the lower-cased name, replacing any entry there. An
    /// empty name is ignored.
    void SetValue(std::string_view HeaderName, std::string_view HeaderValue);
    /// Appends "," and the value to an existing header, else sets it.
    void AddValue(std::string_view HeaderName, std::string_view HeaderValue);
    std::string Get(std::string_view HeaderName) const override;
    bool Exists(std::string_view HeaderName) const override;
    /// Writes the value and returns true when the header exists; leaves it untouched
    /// otherwise.
    bool GetIfExists(std::string_view HeaderName, std::string& HeaderValue) const;
    void Remove(std::string_view HeaderName);
    void Clear() noexcept { FHeaders.clear(); }
    std::size_t Count() const noexcept { return FHeaders.size(); }

    /// Live view of the entries, in no particular order; valid until the collection changes.
    THttpHeaderRange AllHeaders() const override { return THttpHeaderRange(FHeaders); }

    /// The block "name:value" CR LF per entry, then one more CR LF.
    std::string RawWideHeaders() const;
    /// Replaces the collection with the headers of a block; a line without a colon (such as
    /// a status line) names no header, and the first empty line ends the block.
    void SetRawWideHeaders(std::string_view Text);
    /// The value the collection would hold for one header after SetRawWideHeaders(Text),
    /// read from the block without building the collection: writes it and returns true when
    /// the block names the header, returns false otherwise.
    static bool FindInRawWideHeaders(std::string_view Text, std::string_view HeaderName,
                                     std::string& HeaderValue);
    /// The same for several headers in one pass over the block: HeaderValues[I] holds what
    /// the one above writes for HeaderNames[I], empty when the block does not name it.
    static void FindInRawWideHeaders(std::string_view Text,
                                     std::span<const std::string_view> HeaderNames,
                                     std::span<std::optional<std::string>> HeaderValues);

  private:
    /// AddValue, returning the entry that now holds the header.
    THttpHeaderInfo& Add(std::string_view HeaderName, std::string_view HeaderValue);

    Detail::THeaderMap FHeaders;
};

/// The text without the blanks around it: space and every control character below it (tab,
/// CR, LF ...).
std::string_view TrimBlanks(std::string_view S) noexcept;

/// A stated body length: decimal digits only (blanks around them aside), within 64 bits.
/// Anything else states no length and gives -1: a sign, other characters, a number too
/// large, and the empty text, which says nothing about the body (0 would claim it is empty).
std::int64_t ParseContentLength(std::string_view Text) noexcept;

/// The "content-length" header as ParseContentLength reads it; -1 when it is absent.
std::int64_t ContentLengthOf(const THttpHeaders& Headers);

/// The largest stated body length taken on trust: a buffer that big is reserved before a
/// byte arrives. Beyond it a reader grows its buffer as bytes arrive, so a length the peer
/// never delivers cannot make us reserve gigabytes.
inline constexpr std::int64_t TrustedContentLength = std::int64_t{64} << 20;

/// The buffer size for reading a body of stated length Length once Received bytes have
/// arrived: the length itself up to TrustedContentLength, then twice what arrived, never
/// more than Length.
std::int64_t ContentBufferSize(std::int64_t Length, std::int64_t Received) noexcept;

}  // namespace Nimbra
