// Memory for the CryptoNight work area, the one place this subsystem talks
// to the OS. Any thread; the caller owns the block until it frees it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// `size` bytes aligned to 2 MiB (so also to 4096), asked to be backed by
// huge pages where the OS offers them: the main loop's random accesses then
// miss the TLB far less often. Returns nullptr if the memory is not there.
uint8_t* allocate_work_area(size_t size);

// Frees a block from allocate_work_area; nullptr is ignored.
void free_work_area(uint8_t* block);

}  // namespace crypto
