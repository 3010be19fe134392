#include "fs/ntfs/ntfs_fs_reader.h"

#include "common/activity.h"

#include "fs/ntfs/efs_export.h"
#include "fs/raw_entry_data.h"
#include "scan/virtual_folders.h"

namespace kestrova {

EntryHandle NtfsFsReader::FolderHandle(const ScanEntry& folder) const {
  // Virtual folders (and an orphan's "..", which leads to the virtual folder
  // that holds it) are named by their marker, NTFS folders by their record.
  if (folder.Kind() == EntryKind::VirtualFolder || folder.Kind() == EntryKind::VirtualParentLink ||
      IsRebuildFolder(folder))
    return VirtualFolderHandle(folder);
  return folder.recordNumber;
}

std::uint8_t NtfsFsReader::Rate(const ScanEntry& entry) {
  // Found again under its parent; an orphan is listed only in "Lost files".
  if (const auto underParent = RateInFolder(*this, entry.ParentRecord(), entry)) return *underParent;
  return RateInFolder(*this, VirtualHandle(kLostFilesMarker), entry).value_or(entry.rating);
}

WriteResult NtfsFsReader::Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) {
  ActivityMark activity(Fn::NtfsFsReaderWrite);
  if (entry.Kind() == EntryKind::Raw) return WriteRawEntry(ctx_.device, entry, sink, control);
  WriteResult r;
  r.complete = WriteNtfsData(ctx_, entry, sink, control.token) && sink.remaining() == 0 && !sink.unreadable();
  return r;
}

std::optional<FsReader::ExportPlan> NtfsFsReader::PlanExport(const ScanEntry& entry) {
  ActivityMark activity(Fn::NtfsFsReaderPlanExport);
  const auto efs = PrepareEfsExport(ctx_, entry);
  if (!efs) return std::nullopt;
  return ExportPlan{u".efs", efs->StreamLength()};
}

bool NtfsFsReader::WriteExport(const ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) {
  ActivityMark activity(Fn::NtfsFsReaderWriteExport);
  const auto efs = PrepareEfsExport(ctx_, entry);
  return efs && WriteEfsStream(ctx_, *efs, sink, control.token);
}

}  // namespace kestrova
