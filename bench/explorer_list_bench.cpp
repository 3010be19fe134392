// The explorer's list with a million entries in one folder: time to show it,
// to scroll to its end, to sort it (whole and 100,000 entries), and the memory
// each entry costs. Prints the figures and the ratio to the one-second limit.
#include "gui/entry_model.h"
#include "shell/app_settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>

#include <cstdio>
#include <string>

using namespace kestrova;
using namespace kestrova::gui;

namespace {

std::vector<FolderItem> Generate(std::size_t count) {
  std::vector<FolderItem> items(count);
  std::uint64_t seed = 88172645463325252ull;
  static const char16_t* const kExt[] = {u".jpg", u".txt", u".pdf", u".docx", u".bin"};
  for (std::size_t i = 0; i < count; ++i) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    FolderItem& it = items[i];
    it.entry.size = seed % 50000000;
    it.entry.rating = static_cast<std::uint8_t>(seed % 101);
    it.entry.SetFatDate(static_cast<std::uint16_t>(((seed >> 20) % 40) << 9 | 1 << 5 | 1));
    std::string digits = std::to_string(seed % 1000000007);
    it.name = u"IMG_";
    for (char c : digits) it.name.push_back(static_cast<char16_t>(c));
    it.name += kExt[seed % 5];
    it.colour = (seed & 1) ? ColourCategory::Deleted : ColourCategory::Existing;
  }
  return items;
}

double Ms(QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const StatusColours colours = DefaultColours(0);

  constexpr std::size_t kMillion = 1000000;
  std::vector<FolderItem> items = Generate(kMillion);
  std::size_t heap = 0;
  for (const FolderItem& it : items) heap += it.name.capacity() > 7 ? (it.name.capacity() + 1) * sizeof(char16_t) : 0;
  const double perEntry = static_cast<double>(sizeof(FolderItem) * kMillion + heap) / kMillion;

  EntryModel model(FsType::Fat32, colours);
  QTableView view;
  view.resize(1000, 600);
  view.verticalHeader()->setDefaultSectionSize(20);
  view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view.setModel(&model);
  view.show();

  QElapsedTimer t;
  t.start();
  model.SetItems(items);
  QApplication::processEvents();
  const double show = Ms(t);

  t.restart();
  view.scrollToBottom();
  view.viewport()->repaint();
  QApplication::processEvents();
  const double scroll = Ms(t);

  t.restart();
  model.SortBy(0, true);
  QApplication::processEvents();
  const double sortMillion = Ms(t);

  model.SetItems(std::vector<FolderItem>(items.begin(), items.begin() + 100000));
  t.restart();
  model.SortBy(0, true);
  QApplication::processEvents();
  const double sortHundredK = Ms(t);

  std::printf("explorer list, 1,000,000 entries: show %.1f ms, scroll to end %.1f ms, sort by name %.1f ms\n", show,
              scroll, sortMillion);
  std::printf("sort of 100,000 entries by name: %.1f ms (%.2f of the 1 s limit)\n", sortHundredK,
              sortHundredK / 1000.0);
  std::printf("memory per entry: %.0f bytes (record copy %zu + name)\n", perEntry, sizeof(FolderItem));
  return 0;
}
