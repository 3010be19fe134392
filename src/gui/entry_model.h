// The explorer's virtual list: a table model over copies of the current
// folder's entries. Texts are made on demand; check boxes are the entries'
// marks; the text colour is the entry's status colour.
#pragma once

#include "common/fs_type.h"
#include "gui/core_bridge.h"
#include "shell/app_settings.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QStringList>

#include <vector>

namespace kestrova::gui {

QColor FromColorRef(std::uint32_t colorref);
// The colour of a category: the configurable seven, the fixed virtual-folder one.
QColor CategoryColour(ColourCategory category, const StatusColours& colours);

class EntryModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  EntryModel(FsType fs, const StatusColours& colours, QObject* parent = nullptr);

  void SetItems(std::vector<FolderItem> items);
  // The status colours changed (window 110): every row is drawn again.
  void SetColours(const StatusColours& colours);
  // The Miniatures view: the decoded picture of the item with `key` stands in
  // for its icon while thumbnails are shown.
  void SetThumbnail(std::uint32_t key, const QImage& image);
  void SetThumbnailsShown(bool shown);
  bool HasThumbnail(std::uint32_t key) const { return thumbnails_.contains(key); }
  const std::vector<FolderItem>& items() const { return items_; }
  std::vector<FolderItem>& mutableItems() { return items_; }
  const FolderItem& item(int row) const { return items_.at(static_cast<std::size_t>(row)); }
  void SetTitles(const QStringList& titles);
  // Sorts the entries after the leading navigation items in place.
  void SortBy(int column, bool ascending);
  // Marks: all, none, inverted, one toggled. Only items that carry a check box change.
  enum class MarkOp { All, None, Invert, Toggle };
  void Mark(MarkOp op, int row = -1);
  void ClearMarks();
  static bool Checkable(const FolderItem& item);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  FsType fs_;
  StatusColours colours_;
  std::vector<FolderItem> items_;
  QHash<std::uint32_t, QPixmap> thumbnails_;
  bool thumbnailsShown_ = false;
  QStringList titles_;
};

}  // namespace kestrova::gui
