// palvor-vst-scan PLUGIN: opens one VST 2 plug-in and reports its names and capabilities
// to the program that started it (see VstScan.h). Standard output carries the report
// only: the plug-in's own standard output is sent to standard error, which the starting
// program reads as the plug-in's messages. The plug-in is not closed: the process ends
// and takes it along.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/vst/VstHost.h"
#include "audio/vst/VstScan.h"

using namespace DUve::AudioDevice::Vst;

namespace {

void CopyText(char* pDst, size_t nSize, const char* szSrc) {
    size_t i = 0;
    for (; szSrc && szSrc[i] && i + 1 < nSize; ++i) pDst[i] = szSrc[i];
    pDst[i] = '\0';
}

bool WriteAll(int fd, const void* pData, size_t nSize) {
    const char* p = static_cast<const char*>(pData);
    while (nSize > 0) {
        const ssize_t n = write(fd, p, nSize);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !*argv[1]) {
        std::fprintf(stderr, "Usage: %s PLUGIN\nReports a VST 2 plug-in's names and capabilities; run by "
                             "palvorserver and palvorplay.\n", kScannerName);
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // ends with the thread that started it
    signal(SIGPIPE, SIG_IGN);
    // A crashing plug-in ends the scanner at once (a sanitizer's report would only delay
    // the end) and leaves no core file behind.
    for (const int nSignal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(nSignal, SIG_DFL);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    // The report keeps its own descriptor; what the plug-in prints goes to standard error.
    const int nReport = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (nReport < 0 || dup2(2, 1) < 0) return 3;

    ScanWire::CRecord rec;
    std::memset(&rec, 0, sizeof rec);
    rec.nMagic = ScanWire::kMagic;
    void* pHandle = nullptr;
    const char* szError = nullptr;
    AEffect* e = OpenEffect(argv[1], &pHandle, &szError);
    if (!e) {
        rec.nStatus = ScanWire::kFailed;
        CopyText(rec.szError, sizeof rec.szError, szError);
    } else {
        rec.nStatus = ScanWire::kOk;
        e->dispatcher(e, effGetEffectName, 0, 0, rec.szName, 0.0f);
        e->dispatcher(e, effGetVendorString, 0, 0, rec.szVendor, 0.0f);
        e->dispatcher(e, effGetProductString, 0, 0, rec.szProduct, 0.0f);
        rec.nVendorVersion = static_cast<int32_t>(e->dispatcher(e, effGetVendorVersion, 0, 0, nullptr, 0.0f));
        rec.szName[ScanWire::kText - 1] = rec.szVendor[ScanWire::kText - 1] = rec.szProduct[ScanWire::kText - 1] = 0;
        rec.nInputs = e->numInputs;
        rec.nOutputs = e->numOutputs;
        rec.nFlags = e->flags;
    }
    std::fflush(stdout);  // what the plug-in printed through stdio
    const bool bSent = WriteAll(nReport, &rec, sizeof rec);
    _exit(bSent ? 0 : 4);
}
