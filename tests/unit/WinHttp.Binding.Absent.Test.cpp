// Runs where no libwinhttp.so can be found: loading fails quietly, and the first call that
// needs the library says so instead of calling through a null pointer.

#include <gtest/gtest.h>

#include "Nimbra.WinHttp.Api.h"

// Inside the namespace the WinHTTP names are the bound functions, not the C declarations.
namespace Nimbra {

TEST(WinHttpBindingAbsent, FirstCallReportsTheMissingLibrary) {
    EXPECT_FALSE(LoadWinHttp());
    EXPECT_FALSE(LoadWinHttp());
    try {
        WinHttpOpen(u"x", 0, nullptr, nullptr, 0);
        ADD_FAILURE() << "call went through";
    } catch (const EWinHttpClientException& E) {
        EXPECT_EQ(
            E.Message(),
            "Could not perform WinHttp operation.\r\nError: (126) The specified module could not "
            "be found\r\nwinhttp.dll is not loaded (WinHttpOpen)");
    }
    EXPECT_THROW(WinHttpCloseHandle(nullptr), EWinHttpClientException);
}

}  // namespace Nimbra
