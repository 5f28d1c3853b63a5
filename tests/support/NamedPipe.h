#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace TestSupport {

// Runs kCall on another thread while the calling thread watches the named
// pipe at kPath, for tests of readers that must never open one (opening a
// pipe for reading waits for a writer). A reader that opens it anyway is
// handed a writer that closes at once: its open returns and it reads the end
// of the file, so kCall always returns and the test fails instead of
// hanging. True when no reader had the pipe open while kCall ran.
//
// A writer's non-blocking open succeeds exactly when some reader has the
// pipe open, or is waiting in open for a writer; otherwise it fails with
// ENXIO and nothing happens to the pipe.
template <class F> bool RunWithoutOpeningPipe(const std::string& kPath, F&& kCall)
{
    std::atomic<bool> bDone{false};
    std::thread kThread([&] {
        std::forward<F>(kCall)();
        bDone.store(true);
    });
    bool bOpened = false;
    while (!bDone.load())
    {
        const int iWriter = open(kPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (iWriter >= 0)
        {
            bOpened = true;
            close(iWriter);
        }
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kThread.join();
    return !bOpened;
}

}  // namespace TestSupport
