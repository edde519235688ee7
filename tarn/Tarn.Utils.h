#pragma once
// Tarn.Utils: text routines of the base library shared by client and server code.

#include <string>
#include <string_view>

namespace Tarn {

/// Percent-encoded form of a text: its UTF-8 bytes, with every byte other than an ASCII
/// letter, digit or one of !'()*-._~ written as "%XX" (upper-case hexadecimal).
std::string PercentEncode(std::string_view S);

/// The text a percent-encoded form denotes: "%XX" triplets become bytes, everything else
/// (a malformed "%", "+", any other byte) is copied as it is; byte sequences that are not
/// valid UTF-8 after decoding become U+FFFD.
std::string PercentDecode(std::string_view S);

}  // namespace Tarn
