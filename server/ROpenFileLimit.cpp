#include "server/ROpenFileLimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <limits>

namespace DUve::CRSocket {

namespace {

uint64_t LimitValue(rlim_t v) {
    return v == RLIM_INFINITY ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(v);
}

}  // namespace

COpenFileLimit OpenFileLimit() {
    COpenFileLimit out;
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) {
        out.nError = errno;
        return out;
    }
    out.nSoft = LimitValue(r.rlim_cur);
    out.nHard = LimitValue(r.rlim_max);
    return out;
}

COpenFileLimit RaiseOpenFileLimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return OpenFileLimit();
    int error = 0;
    if (r.rlim_cur != r.rlim_max) {
        rlimit raised = r;
        raised.rlim_cur = r.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) error = errno;  // e.g. an infinite hard limit
    }
    COpenFileLimit out = OpenFileLimit();
    if (!out.nError) out.nError = error;
    return out;
}

}  // namespace DUve::CRSocket
