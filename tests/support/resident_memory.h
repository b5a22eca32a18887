#pragma once

namespace nuvra_test {

// This process' resident memory (VmRSS) in KiB.
long resident_kib();

}  // namespace nuvra_test
