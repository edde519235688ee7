#pragma once
// Nimbra.Http.Headers: the header collection shared by every message object.

#include <ranges>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Nimbra {

/// One header: lower-case name and trimmed value, plus their copies in the process
/// locale's code set. Never changes once built.
class THttpHeaderInfo {
public:
    THttpHeaderInfo(std::string AName, std::string AValue);

    const std::string& Name() const noexcept { return FName; }
    const std::string& Value() const noexcept { return FValue; }
    const std::string& AnsiName() const noexcept { return FAnsiName; }
    const std::string& AnsiValue() const noexcept { return FAnsiValue; }

private:
    std::string FName;
    std::string FValue;
    std::string FAnsiName;
    std::string FAnsiValue;
};

/// Read-only view of a header collection.
class IReadOnlyHttpHeaders {
public:
    virtual ~IReadOnlyHttpHeaders() = default;
    virtual std::string Get(std::string_view HeaderName) const = 0;
    virtual bool Exists(std::string_view HeaderName) const = 0;
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
    auto AllHeaders() const { return std::views::values(FHeaders); }

    /// The block "name:value" CR LF per entry, then one more CR LF.
    std::string RawWideHeaders() const;
    /// Replaces the collection with the headers of a block; a line without a colon (such as
    /// a status line) names no header, and the first empty line ends the block.
    void SetRawWideHeaders(std::string_view Text);

private:
    std::unordered_map<std::string, THttpHeaderInfo> FHeaders;
};

}  // namespace Nimbra
