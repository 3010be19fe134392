// Keeps the machine from sleeping while the program runs (a recovery or a
// scan must not be cut by suspend): logind's inhibitor over the system bus,
// held until the object goes. Without a system bus nothing happens.
#pragma once

#include <memory>

namespace kestrova::gui {

class SleepInhibitor {
 public:
  SleepInhibitor();
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;
  bool active() const;

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};

}  // namespace kestrova::gui
