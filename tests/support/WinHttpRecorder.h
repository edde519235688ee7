#pragma once
// The recording WinHTTP library: a libwinhttp.so that the tests build and put beside a test
// program, so the binding loads it in place of the real one. It passes every call on to the
// real library and writes one line per call, with its arguments and result; a test can also
// make the next calls of a function fail with an error code of its choice.
//
// A line reads like
//   WinHttpOpenRequest(conn1, "GET", "/p", null, null, null, 0x00800000) = req1
//   WinHttpSendRequest(req1, "\r\n", 2, null, 0, 0, context) = fail 12029
//   WinHttpReadData(req1, 8192) = ok 1808
// Handles are named by kind and order of creation (session1, conn1, req1, ...); texts are
// quoted with CR, LF and non-ASCII characters escaped; "context" stands for a non-zero
// context value and "callback" for a status callback. An injected failure reads
// "= fail <code> (injected)".

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

/// Shared between the recording library and the test program that loaded it.
struct TWinHttpRecord {
    std::mutex Lock;
    std::vector<std::string> Calls;
    /// Per function name: the error codes its next calls fail with, first one first.
    std::map<std::string, std::vector<std::uint32_t>> Failures;
    /// Handle value -> name, and how many of each kind were named.
    std::map<std::uintptr_t, std::string> Names;
    std::map<std::string, int> Counts;
};

}  // namespace TestSupport

/// Exported by the recording library; the test program finds it by name.
extern "C" TestSupport::TWinHttpRecord* WinHttpRecorderState();
