// The reallocation used by the growable lists: P1 keeps the contents, P2
// discards them (the old block is freed first). A failure shows the matching
// memory message and the caller gets no block.
#pragma once

#include "common/ui.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrova {

enum class ReallocMode { Keep /* P1 */, Discard /* P2 */ };

// Resizes block to size bytes (0 frees it). New bytes are zero. False, after
// the message, when the memory cannot be had or size exceeds limit.
bool Reallocate(std::vector<std::uint8_t>& block, std::size_t size, ReallocMode mode, Ui* ui,
                std::size_t limit = std::numeric_limits<std::size_t>::max());

// The message of a failed reallocation of that mode.
void ReportAllocationFailure(ReallocMode mode, Ui* ui);

}  // namespace kestrova
