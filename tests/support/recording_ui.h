// A Ui that records everything the core says and answers boxes from a script.
#pragma once

#include "common/text.h"
#include "common/ui.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kestrova::test {

class RecordingUi : public Ui {
 public:
  struct Box {
    std::string text, caption;
    MsgIcon icon;
    MsgButtons buttons;
  };

  MsgChoice MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                       MsgButtons buttons) override {
    std::scoped_lock g(lock);
    boxes.push_back({ToUtf8(text), ToUtf8(caption), icon, buttons});
    if (!answers.empty()) {
      const MsgChoice c = answers.front();
      answers.pop_front();
      return c;
    }
    return MsgChoice::Ok;
  }
  void Progress(std::uint64_t done, std::uint64_t total) override {
    std::scoped_lock g(lock);
    progress.emplace_back(done, total);
  }
  void Status(std::u16string_view text) override {
    std::scoped_lock g(lock);
    statuses.push_back(ToUtf8(text));
  }
  void ReadErrorWindowChanged(const ReadErrorView& view) override {
    std::scoped_lock g(lock);
    readErrorViews.push_back(view);
  }
  void PostCommand(int command) override {
    std::scoped_lock g(lock);
    commands.push_back(command);
  }

  std::mutex lock;
  std::deque<MsgChoice> answers;
  std::vector<Box> boxes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
  std::vector<std::string> statuses;
  std::vector<ReadErrorView> readErrorViews;
  std::vector<int> commands;
};

}  // namespace kestrova::test
