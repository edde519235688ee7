// Runs beside a libwinhttp.so that lacks one export (WinHttpQueryAuthSchemes), so the binding
// must report that function and leave nothing half bound.

#include <gtest/gtest.h>

#include "Nimbra.WinHttp.Api.h"

// Inside the namespace the WinHTTP names are the bound functions, not the C declarations.
namespace Nimbra {

TEST(WinHttpBindingMissingExport, ReportedEveryTimeAndNothingBound) {
    for (int Attempt = 0; Attempt < 2; ++Attempt) {
        SCOPED_TRACE(Attempt == 0 ? "first binding" : "second binding");
        try {
            LoadWinHttp();
            ADD_FAILURE() << "binding succeeded";
        } catch (const Runtime::EAssertionFailed& E) {
            EXPECT_EQ(std::string(E.what()).rfind(
                          "winhttp.dll - Could not find method: WinHttpQueryAuthSchemes", 0),
                      0u)
                << E.what();
        }
        // Functions found before the gap are not usable either.
        EXPECT_FALSE(WinHttpOpen.Bound());
        EXPECT_THROW(WinHttpOpen(u"x", 0, nullptr, nullptr, 0), EWinHttpClientException);
    }
}

}  // namespace Nimbra
