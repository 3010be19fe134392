#include "common/activity.h"

namespace kestrova {

ActivityTable& Activity() {
  static ActivityTable table{};
  return table;
}

}  // namespace kestrova
