#include "gui/entry_model.h"

#include "explore/list_columns.h"
#include "gui/localise.h"
#include "gui/texts.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>
#include <iterator>

namespace kestrova::gui {

QColor FromColorRef(std::uint32_t c) {
  return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

QColor CategoryColour(ColourCategory category, const StatusColours& colours) {
  if (category == ColourCategory::VirtualFolder) return FromColorRef(kVirtualFolderColour);
  return FromColorRef(colours[static_cast<std::size_t>(category)]);
}

EntryModel::EntryModel(FsType fs, const StatusColours& colours, QObject* parent)
    : QAbstractTableModel(parent), fs_(fs), colours_(colours), titles_(SplitTitles(Tr(StringId::ExplorerColumns))) {}

void EntryModel::SetItems(std::vector<FolderItem> items) {
  beginResetModel();
  items_ = std::move(items);
  for (std::size_t i = 0; i < items_.size(); ++i) items_[i].key = static_cast<std::uint32_t>(i);
  thumbnails_.clear();
  endResetModel();
}

void EntryModel::SetThumbnail(std::uint32_t key, const QImage& image) {
  thumbnails_.insert(key, QPixmap::fromImage(image));
  if (thumbnailsShown_ && !items_.empty())
    emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

void EntryModel::SetThumbnailsShown(bool shown) {
  thumbnailsShown_ = shown;
  if (!items_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

void EntryModel::SetTitles(const QStringList& titles) {
  titles_ = titles;
  emit headerDataChanged(Qt::Horizontal, 0, kListColumns - 1);
}

bool EntryModel::Checkable(const FolderItem& item) {
  return !item.dotEntry && item.entry.kind < static_cast<std::uint8_t>(EntryKind::ParentLink);
}

void EntryModel::SortBy(int column, bool ascending) {
  // Navigation items stay in front.
  const auto first = std::find_if(items_.begin(), items_.end(), [](const FolderItem& i) {
    return !i.dotEntry && i.entry.kind != static_cast<std::uint8_t>(EntryKind::ParentLink) &&
           i.entry.kind != static_cast<std::uint8_t>(EntryKind::VirtualParentLink);
  });
  const auto col = static_cast<ListColumn>(column);
  emit layoutAboutToBeChanged();
  const auto front = static_cast<std::size_t>(first - items_.begin());
  std::vector<ListSortItem> rows;
  rows.reserve(items_.size() - front);
  for (auto it = first; it != items_.end(); ++it) rows.push_back({&it->entry, it->name, it->folder});
  const std::vector<std::size_t> order = SortedOrder(rows, col, ascending, fs_);
  rows.clear();
  std::vector<FolderItem> sorted;
  sorted.reserve(items_.size());
  std::move(items_.begin(), first, std::back_inserter(sorted));
  for (const std::size_t i : order) sorted.push_back(std::move(items_[front + i]));
  items_ = std::move(sorted);
  emit layoutChanged();
}

void EntryModel::Mark(MarkOp op, int row) {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    FolderItem& it = items_[i];
    if (!Checkable(it)) continue;
    switch (op) {
      case MarkOp::All: it.entry.marked = 1; break;
      case MarkOp::None: it.entry.marked = 0; break;
      case MarkOp::Invert: it.entry.marked = it.entry.marked ? 0 : 1; break;
      case MarkOp::Toggle:
        if (static_cast<int>(i) == row) it.entry.marked = it.entry.marked ? 0 : 1;
        break;
    }
  }
  if (!items_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

void EntryModel::ClearMarks() { Mark(MarkOp::None); }

int EntryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int EntryModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kListColumns; }

QVariant EntryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const FolderItem& it = items_[static_cast<std::size_t>(index.row())];
  const auto col = static_cast<ListColumn>(index.column());
  switch (role) {
    case Qt::DisplayRole:
      switch (col) {
        case ListColumn::Name: return Q(it.name);
        case ListColumn::Size: return Q(ListSizeText(it.entry, fs_, it.folder));
        case ListColumn::Type: return Q(ListTypeText(it.name, it.folder));
        case ListColumn::Date: return Q(ListDateText(it.entry, fs_));
        case ListColumn::Rating: {
          const auto r = ShownRating(it.entry, fs_, it.folder);
          return r ? QVariant(*r) : QVariant();
        }
      }
      return {};
    case Qt::CheckStateRole:
      if (col == ListColumn::Name && Checkable(it)) return it.entry.marked ? Qt::Checked : Qt::Unchecked;
      return {};
    case Qt::ForegroundRole:
      return CategoryColour(it.colour, colours_);
    case Qt::DecorationRole:
      if (col != ListColumn::Name) return {};
      if (thumbnailsShown_) {
        const auto found = thumbnails_.constFind(it.key);
        if (found != thumbnails_.constEnd()) return *found;
      }
      return QApplication::style()->standardIcon(it.folder || it.dotEntry ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    case Qt::TextAlignmentRole:
      if (col == ListColumn::Size) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

bool EntryModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0) return false;
  FolderItem& it = items_[static_cast<std::size_t>(index.row())];
  if (!Checkable(it)) return false;
  it.entry.marked = value.value<Qt::CheckState>() == Qt::Checked ? 1 : 0;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags EntryModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() == 0 && Checkable(items_[static_cast<std::size_t>(index.row())]))
    f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant EntryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < titles_.size())
    return titles_[section];
  return QAbstractTableModel::headerData(section, orientation, role);
}

void EntryModel::SetColours(const StatusColours& colours) {
  colours_ = colours;
  if (!items_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), {Qt::ForegroundRole});
}

}  // namespace kestrova::gui
