// The "Rebuild" folder: one synthetic folder for every parent folder that the
// lost files name but that is itself not among them, so a lost file whose
// folder entry is gone can still be reached through the folder that stands
// at its parent's cluster.
#pragma once

#include "scan/result_lists.h"

#include <cstdint>

namespace kestrova {

// A "Rebuild" folder for `cluster` (below 2^24): named "#%.9u", its
// firstCluster the cluster under the 0x11 marker byte, parentLow all ones.
ScanEntry MakeRebuildFolder(std::uint32_t cluster);

// Empties the rebuild list and adds one folder per missing parent cluster of
// the lost list (never for 0 or the root cluster). Returns the folders made.
std::size_t RebuildLostParents(ResultLists& lists, std::uint32_t rootCluster);

}  // namespace kestrova
