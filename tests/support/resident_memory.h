#pragma once

namespace nuvra_test {

// This process' resident memory (VmRSS) in KiB.
long resident_kib();

// Bytes the process' allocator has handed out and not had back, in KiB:
// what the program holds, without the allocator's own free pages and holes.
// Under a sanitizer, its allocator's count.
long heap_in_use_kib();

}  // namespace nuvra_test
