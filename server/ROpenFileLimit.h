// The process's limit of open descriptors: every connection takes one, so a server for
// many clients raises its soft limit to the hard one at start.
#pragma once

#include <cstdint>

namespace DUve::CRSocket {

// The process's limit of open descriptors (RLIMIT_NOFILE); RLIM_INFINITY reads as
// UINT64_MAX. nError is the errno of a failed read or raise (0 when none failed).
struct COpenFileLimit {
    uint64_t nSoft = 0;
    uint64_t nHard = 0;
    int nError = 0;
};
COpenFileLimit OpenFileLimit();
// Raises the soft limit to the hard limit and returns the limits in force afterwards.
COpenFileLimit RaiseOpenFileLimit();

}  // namespace DUve::CRSocket
