#include "runtime/RForeignOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "runtime/RDebugTrace.h"

// Present in sanitizer builds only: where their reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace DUve {

namespace {

constexpr size_t kMaxLine = 1000;

// What the reader thread shares with whoever ends the capture; kept alive by both.
struct CReaderState {
    std::mutex mutex;
    std::condition_variable cv;
    bool bDone = false;
};

struct CCapture {
    std::mutex mutex;
    int nAllowed = 0;
    bool bRunning = false;
    int nOwnOut = -1, nOwnErr = -1;  // copies of the original descriptors 1 and 2
    int nRead = -1;
    std::thread reader;
    std::shared_ptr<CReaderState> state;
};

CCapture& Capture() {
    static CCapture* const p = new CCapture;  // outlives threads still running at exit
    return *p;
}

std::atomic<FILE*> g_ownOut{nullptr};
std::atomic<FILE*> g_ownErr{nullptr};

void ReportTo(int fd) {
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
}

// Forwards the pipe's lines to the trace until every writer has closed it.
void ReadLines(int fd, const std::shared_ptr<CReaderState>& state) noexcept {
    char buf[4096];
    char line[kMaxLine + 1];
    size_t nLine = 0;
    bool bCut = false;
    const auto emit = [&] {
        line[nLine] = 0;
        if (nLine > 0 || bCut) DebugTrace("\nplug-in or library output: %s%s", line, bCut ? " [cut]" : "");
        nLine = 0;
        bCut = false;
    };
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                emit();
            } else if (nLine < kMaxLine) {
                line[nLine++] = buf[i];
            } else {
                bCut = true;
            }
        }
    }
    emit();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->bDone = true;
    state->cv.notify_all();
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void EndLocked(CCapture& c) {
    if (!c.bRunning) return;
    c.bRunning = false;
    std::fflush(stdout);
    std::fflush(stderr);
    // The pipe's writing end closes with the last standard descriptor that held it.
    if (dup2(c.nOwnOut, 1) < 0 || dup2(c.nOwnErr, 2) < 0)
        std::fprintf(OwnStderr(), "palvor: the standard streams could not be given back: %s\n", std::strerror(errno));
    ReportTo(2);
    bool bDone;
    {
        std::unique_lock<std::mutex> lock(c.state->mutex);
        bDone = c.state->cv.wait_for(lock, std::chrono::seconds(1), [&] { return c.state->bDone; });
    }
    if (bDone) {
        c.reader.join();
        CloseFd(c.nRead);
    } else {
        // A process the plug-in started still holds the pipe: its reader stays behind.
        DebugTrace("\nplug-in or library output: still open at the end; no longer read");
        c.reader.detach();
        c.nRead = -1;
    }
}

}  // namespace

FILE* OwnStdout() {
    FILE* f = g_ownOut.load(std::memory_order_acquire);
    return f ? f : stdout;
}

FILE* OwnStderr() {
    FILE* f = g_ownErr.load(std::memory_order_acquire);
    return f ? f : stderr;
}

CRForeignOutput::CRForeignOutput() {
    CCapture& c = Capture();
    std::lock_guard<std::mutex> lock(c.mutex);
    ++c.nAllowed;
}

CRForeignOutput::~CRForeignOutput() {
    CCapture& c = Capture();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (--c.nAllowed == 0) EndLocked(c);
}

void EndForeignOutputCapture() {
    CCapture& c = Capture();
    std::lock_guard<std::mutex> lock(c.mutex);
    EndLocked(c);
}

bool CaptureForeignOutput() {
    CCapture& c = Capture();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.bRunning) return true;
    if (c.nAllowed == 0) return false;
    const auto fail = [&](const char* szWhat) {
        std::fprintf(OwnStderr(), "palvor: what plug-ins print stays on the standard streams: %s: %s\n", szWhat,
                     std::strerror(errno));
        return false;
    };
    // The copies of the original descriptors are made once and kept: the streams on them
    // may be in use on any thread until the program ends.
    if (c.nOwnOut < 0) {
        const int nOut = fcntl(1, F_DUPFD_CLOEXEC, 3);
        const int nErr = nOut < 0 ? -1 : fcntl(2, F_DUPFD_CLOEXEC, 3);
        FILE* fOut = nErr < 0 ? nullptr : fdopen(nOut, "w");
        FILE* fErr = fOut ? fdopen(nErr, "w") : nullptr;
        if (!fErr) {
            const int nError = errno;
            if (fOut) std::fclose(fOut);  // closes nOut
            else if (nOut >= 0) close(nOut);
            if (nErr >= 0) close(nErr);
            errno = nError;
            return fail("no copy of the standard streams");
        }
        setvbuf(fErr, nullptr, _IONBF, 0);
        if (isatty(nOut) == 1) setvbuf(fOut, nullptr, _IOLBF, BUFSIZ);
        c.nOwnOut = nOut;
        c.nOwnErr = nErr;
        g_ownOut.store(fOut, std::memory_order_release);
        g_ownErr.store(fErr, std::memory_order_release);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail("no pipe");
    // A plug-in that prints faster than the trace takes it loses text; it never waits.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    auto state = std::make_shared<CReaderState>();
    try {
        c.reader = std::thread([fd = fds[0], state] { ReadLines(fd, state); });
    } catch (const std::system_error& e) {
        close(fds[0]);
        close(fds[1]);
        errno = e.code().value();
        return fail("no thread to read it");
    }
    c.nRead = fds[0];
    c.state = std::move(state);
    std::fflush(stdout);
    std::fflush(stderr);
    std::cout.flush();
    std::cerr.flush();
    ReportTo(c.nOwnErr);
    if (dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0)
        std::fprintf(OwnStderr(), "palvor: the standard streams could not be captured: %s\n", std::strerror(errno));
    close(fds[1]);
    // A pipe would otherwise hold lines back. Only a buffer of its own makes a stream that
    // was already used take the new mode at once.
    static char s_stdoutBuffer[BUFSIZ];
    setvbuf(stdout, s_stdoutBuffer, _IOLBF, sizeof s_stdoutBuffer);
    c.bRunning = true;
    return true;
}

}  // namespace DUve
