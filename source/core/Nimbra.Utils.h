#pragma once
// Nimbra.Utils: protocol helpers shared by client and server code.

#include <string>

namespace Nimbra {

/// Class-only protocol helpers: reason phrases, query strings, header parameters,
/// content negotiation, Basic auth, Base64 and ISO 8601 texts.
class TNimbraUtils {
public:
    TNimbraUtils() = delete;

    /// Reason phrase of a status code; empty for codes the table does not know.
    static std::string GetStatusReason(int StatusCode);
};

}  // namespace Nimbra
