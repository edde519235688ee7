// The first clients of a process made on several threads at once, as a program that keeps
// one client per thread does: the WinHTTP library is loaded and bound once, and every thread
// calls through the table while the others may still be binding. A program of its own, so
// that nothing has bound the library before the threads start; make test-tsan runs it under
// ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Nimbra.Http.Client.h"
#include "Nimbra.WinHttp.Api.h"

namespace {

TEST(WinHttpBindingThreads, FirstClientsOnSeveralThreadsBindOnce) {
    constexpr int Count = 8;
    std::atomic<int> Ready{0};
    std::atomic<int> Failures{0};
    std::vector<std::thread> Threads;
    for (int I = 0; I < Count; ++I) {
        Threads.emplace_back([&] {
            ++Ready;
            while (Ready.load() < Count) std::this_thread::yield();
            try {
                Nimbra::THttpClient Client;  // binds the library on first use
                if (!Nimbra::LoadWinHttp() || !Nimbra::WinHttpCheckPlatform()) ++Failures;
            } catch (...) {
                ++Failures;
            }
        });
    }
    for (std::thread& T : Threads) T.join();
    EXPECT_EQ(Failures.load(), 0);
    EXPECT_TRUE(Nimbra::WinHttpCheckPlatform.Bound());
}

}  // namespace
