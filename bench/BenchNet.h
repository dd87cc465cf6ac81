// The benchmarks' loopback TCP pair: the tests' one with Nagle off, so that a measured
// round trip is never held back by a delayed acknowledgement.
#pragma once

#include "support/Net.h"

namespace PalvorBench {

inline std::pair<int, int> TcpPair() { return PalvorTest::TcpPair(PalvorTest::ENagle::Off); }

}  // namespace PalvorBench
