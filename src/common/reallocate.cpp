#include "common/reallocate.h"

#include "common/activity.h"
#include "resources/strings.h"

#include <new>

namespace kestrova {

bool Reallocate(std::vector<std::uint8_t>& block, std::size_t size, ReallocMode mode, Ui* ui, std::size_t limit) {
  ActivityMark mark(Fn::Reallocate);
  if (size == 0) {
    std::vector<std::uint8_t>().swap(block);
    return true;
  }
  if (mode == ReallocMode::Discard) std::vector<std::uint8_t>().swap(block);
  bool ok = size <= limit;
  if (ok) {
    try {
      block.resize(size, 0);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  if (!ok) {
    if (mode == ReallocMode::Discard) std::vector<std::uint8_t>().swap(block);
    ReportAllocationFailure(mode, ui);
  }
  return ok;
}

void ReportAllocationFailure(ReallocMode mode, Ui* ui) {
  if (!ui) return;
  ui->MessageBox(Text(mode == ReallocMode::Keep ? StringId::MemoryGrow : StringId::MemoryFresh),
                 Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
}

}  // namespace kestrova
