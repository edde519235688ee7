#pragma once
// Header lines: checking and splitting what callers give, finding names and values in
// "Name: value" lines.

#include <string>
#include <string_view>
#include <vector>

#include "WinHttp.Text.h"
#include "winhttp.h"

namespace WinHttpImpl {

/// An HTTP token (a header name, a verb).
bool IsToken(std::string_view S);
/// Header text may not carry control characters (tab aside): they could split the message.
bool IsFieldText(std::string_view S);
/// Splits a header block (lines ending in CR LF, LF or CR) into checked "Name: value" lines;
/// false when a line is not one. Length -1 means NUL-terminated.
bool ParseHeaderBlock(LPCWSTR Headers, DWORD Length, std::vector<std::string>& Out);

/// The name of a "Name: value" line (the whole line when it has no colon), without blanks.
inline std::string_view HeaderName(std::string_view Line) {
    const std::size_t Colon = Line.find(':');
    return Colon == std::string_view::npos ? Line : Trim(Line.substr(0, Colon));
}
/// The value of a "Name: value" line, without blanks around it.
inline std::string_view HeaderValue(std::string_view Line) {
    const std::size_t Colon = Line.find(':');
    return Colon == std::string_view::npos ? std::string_view() : Trim(Line.substr(Colon + 1));
}
/// Whether a line of that name (any case) is among the lines.
bool HasHeader(const std::vector<std::string>& Lines, std::string_view Name);
/// Whether a Transfer-Encoding value ends in the chunked coding: only then does it say where
/// the body ends.
bool EndsInChunked(std::string_view Codings);
/// Whether the lines frame the body in the chunked coding.
bool IsChunked(const std::vector<std::string>& Lines);

}  // namespace WinHttpImpl
