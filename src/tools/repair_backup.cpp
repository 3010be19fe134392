#include "tools/repair_backup.h"

#include "common/activity.h"
#include "common/le.h"
#include "common/number_text.h"
#include "common/text.h"
#include "device/drive_entry.h"
#include "resources/strings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

namespace kestrova {
namespace {

constexpr char kMagic[4] = {'K', 'V', 'B', 'K'};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAllAt(int fd, std::uint64_t offset, void* data, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

BackupHeader MakeHeader(std::u16string_view name, std::uint64_t deviceSectors, std::uint32_t blocks) {
  BackupHeader h{};
  std::memcpy(h.magic, kMagic, 4);
  h.deviceSectors = deviceSectors;
  // A path longer than the field keeps its end: the file name tells more than the folders.
  std::u16string_view shown = name;
  if (shown.size() > 63) shown = shown.substr(shown.size() - 63);
  SetFieldText(std::span<std::uint8_t>(h.name, sizeof h.name), shown);
  h.blockCount = blocks;
  h.zero = 0;
  return h;
}

std::vector<std::uint8_t> HeaderBytes(const BackupHeader& h) {
  std::vector<std::uint8_t> b(sizeof(BackupHeader));
  std::memcpy(b.data(), h.magic, 4);
  StoreLe64(b, 4, h.deviceSectors);
  std::memcpy(b.data() + 12, h.name, sizeof h.name);
  StoreLe32(b, 140, h.blockCount);
  StoreLe32(b, 144, h.zero);
  return b;
}

std::vector<std::uint8_t> BlockHead(std::uint64_t sector, std::uint32_t count) {
  std::vector<std::uint8_t> b(kBackupBlockHeadSize);
  StoreLe64(b, 0, sector);
  StoreLe32(b, 8, count);
  return b;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

bool BackupMatchesDevice(const BackupInfo& info, std::u16string_view deviceName, std::uint64_t deviceSectors) {
  const std::u16string_view stored = deviceName.size() > 63 ? deviceName.substr(deviceName.size() - 63) : deviceName;
  return info.name == stored && info.deviceSectors == deviceSectors;
}

std::u16string BackupName(const BackupHeader& header) {
  return FieldText(std::span<const std::uint8_t>(header.name, sizeof header.name));
}

BackupStatus MakeBackup(SectorDevice& device, const std::string& path, std::u16string_view name,
                        std::uint64_t deviceSectors, std::span<const BackupRange> ranges) {
  ActivityMark activity(Fn::MakeRepairBackup);
  const std::uint32_t ss = std::max<std::uint32_t>(device.sectorSize, 512);
  if (ranges.empty() || ranges.size() > kMaxBackupBlocks) return BackupStatus::BadRanges;
  for (const BackupRange& r : ranges) {
    if (r.count == 0 || r.count > kMaxBackupBlockSectors) return BackupStatus::BadRanges;
    if (deviceSectors != 0 && (r.sector >= deviceSectors || r.count > deviceSectors - r.sector))
      return BackupStatus::BadRanges;
  }
  // The backup never goes onto the device it keeps sectors of.
  if (SameFile(path, device.path)) return BackupStatus::CantCreate;

  const std::string temp = path + ".part";
  ::unlink(temp.c_str());
  Fd fd(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) return BackupStatus::CantCreate;
  auto fail = [&](BackupStatus s) {
    fd.Close();
    ::unlink(temp.c_str());
    return s;
  };

  const std::vector<std::uint8_t> header =
      HeaderBytes(MakeHeader(name, deviceSectors, static_cast<std::uint32_t>(ranges.size())));
  if (!WriteAll(fd.get(), header.data(), header.size())) return fail(BackupStatus::WriteFailed);
  std::vector<std::uint8_t> bytes;
  for (const BackupRange& r : ranges) {
    bytes.assign(static_cast<std::size_t>(r.count) * ss, 0);
    if (device.ReadDeviceSectors(r.sector, bytes, r.count) != ReadOk) return fail(BackupStatus::ReadFailed);
    const std::vector<std::uint8_t> head = BlockHead(r.sector, r.count);
    if (!WriteAll(fd.get(), head.data(), head.size()) || !WriteAll(fd.get(), bytes.data(), bytes.size()))
      return fail(BackupStatus::WriteFailed);
  }
  if (::fsync(fd.get()) != 0) return fail(BackupStatus::WriteFailed);

  // Read back: the file as stored must hold what the device holds.
  std::vector<std::uint8_t> stored(header.size());
  if (!ReadAllAt(fd.get(), 0, stored.data(), stored.size()) || stored != header) return fail(BackupStatus::VerifyFailed);
  std::uint64_t offset = header.size();
  std::vector<std::uint8_t> now;
  for (const BackupRange& r : ranges) {
    const std::vector<std::uint8_t> head = BlockHead(r.sector, r.count);
    stored.resize(head.size());
    if (!ReadAllAt(fd.get(), offset, stored.data(), stored.size()) || stored != head)
      return fail(BackupStatus::VerifyFailed);
    offset += head.size();
    stored.resize(static_cast<std::size_t>(r.count) * ss);
    now.assign(stored.size(), 0);
    if (!ReadAllAt(fd.get(), offset, stored.data(), stored.size())) return fail(BackupStatus::VerifyFailed);
    if (device.ReadDeviceSectors(r.sector, now, r.count) != ReadOk) return fail(BackupStatus::ReadFailed);
    if (now != stored) return fail(BackupStatus::VerifyFailed);
    offset += stored.size();
  }
  if (!fd.Close()) {
    ::unlink(temp.c_str());
    return BackupStatus::WriteFailed;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return BackupStatus::CantCreate;
  }
  // The rename itself reaches the disk with its folder.
  const std::string folder = std::filesystem::path(path).parent_path().string();
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return BackupStatus::Ok;
}

BackupReadStatus ReadBackupInfo(const std::string& path, std::uint32_t sectorSize, BackupInfo& info) {
  ActivityMark activity(Fn::ReadRepairBackup);
  info = BackupInfo{};
  const std::uint32_t ss = std::max<std::uint32_t>(sectorSize, 512);
  info.sectorSize = ss;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return BackupReadStatus::CantOpen;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return BackupReadStatus::CantOpen;
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  info.fileSize = size;
  std::uint8_t raw[sizeof(BackupHeader)] = {};
  if (size < 4 || !ReadAllAt(fd.get(), 0, raw, 4) || std::memcmp(raw, kMagic, 4) != 0) return BackupReadStatus::NotKvb;
  if (size < sizeof raw || !ReadAllAt(fd.get(), 0, raw, sizeof raw)) return BackupReadStatus::Corrupt;
  const Bytes h(raw, sizeof raw);
  info.deviceSectors = LoadLe64(h, 4);
  info.name = FieldText(h.subspan(12, 128));
  const std::uint32_t blocks = LoadLe32(h, 140);
  if (blocks == 0 || blocks > kMaxBackupBlocks || LoadLe32(h, 144) != 0) return BackupReadStatus::Corrupt;
  // The smallest possible block bounds the count before anything is reserved.
  if ((size - sizeof raw) / (kBackupBlockHeadSize + ss) < blocks) return BackupReadStatus::Corrupt;
  info.blocks.reserve(blocks);
  std::uint64_t offset = sizeof raw;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    std::uint8_t headRaw[kBackupBlockHeadSize];
    if (size - offset < sizeof headRaw || !ReadAllAt(fd.get(), offset, headRaw, sizeof headRaw))
      return BackupReadStatus::Corrupt;
    const Bytes head(headRaw, sizeof headRaw);
    BackupBlockInfo b;
    b.sector = LoadLe64(head, 0);
    b.count = LoadLe32(head, 8);
    offset += sizeof headRaw;
    if (b.count == 0 || b.count > kMaxBackupBlockSectors) return BackupReadStatus::Corrupt;
    const std::uint64_t bytes = static_cast<std::uint64_t>(b.count) * ss;
    if (size - offset < bytes) return BackupReadStatus::Corrupt;
    if (b.sector > (~std::uint64_t{0} - b.count)) return BackupReadStatus::Corrupt;
    b.offset = offset;
    offset += bytes;
    info.blocks.push_back(b);
  }
  // Trailing bytes mean the file is not what its header says.
  if (offset != size) return BackupReadStatus::Corrupt;
  return BackupReadStatus::Ok;
}

RestoreStatus PlanRestoreBackup(SectorDevice& device, const std::string& path, std::u16string_view deviceName,
                                std::uint64_t deviceSectors, Ui& ui, bool confirmed, RepairPlan& plan,
                                BackupInfo* infoOut) {
  ActivityMark activity(Fn::PlanRestoreBackup);
  plan = RepairPlan{};
  BackupInfo info;
  const std::uint32_t ss = std::max<std::uint32_t>(device.sectorSize, 512);
  switch (ReadBackupInfo(path, ss, info)) {
    case BackupReadStatus::CantOpen: return RestoreStatus::CantOpen;
    case BackupReadStatus::NotKvb:
      ui.MessageBox(Text(StringId::BadBackupFile), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
      return RestoreStatus::NotKvb;
    case BackupReadStatus::Corrupt:
      ui.MessageBox(Text(StringId::BadBackupFile), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
      return RestoreStatus::Corrupt;
    case BackupReadStatus::Ok: break;
  }
  if (infoOut) *infoOut = info;
  for (const BackupBlockInfo& b : info.blocks) {
    if (deviceSectors == 0 || b.sector >= deviceSectors || b.count > deviceSectors - b.sector)
      return RestoreStatus::OutsideDevice;
  }
  const std::u16string sizeText = ToUtf16(SizeText(info.deviceSectors * 512));
  if (!confirmed) {
    // A backup of another disk is written only when the user says so.
    if (!BackupMatchesDevice(info, deviceName, deviceSectors)) {
      const std::u16string text =
          FillPlaceholders(Text(StringId::PartFixBackupOtherDisk),
                           {info.name, ToUtf16(std::to_string(info.deviceSectors)), std::u16string(deviceName),
                            ToUtf16(std::to_string(deviceSectors))});
      if (ui.MessageBox(text, Text(StringId::Caption), MsgIcon::Warning, MsgButtons::YesNo) != MsgChoice::Yes)
        return RestoreStatus::Mismatch;
    }
    const std::u16string question =
        FillPlaceholders(u"%s %s (%s)?", {Text(StringId::BackupQuestion), info.name, sizeText});
    if (ui.MessageBox(question, Text(StringId::Caption), MsgIcon::Question, MsgButtons::YesNo) != MsgChoice::Yes)
      return RestoreStatus::Declined;
  }

  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return RestoreStatus::CantOpen;
  // What each sector will hold once the earlier blocks are written: a later
  // block that overlaps an earlier one sees the earlier one's bytes as "before".
  std::map<std::uint64_t, std::vector<std::uint8_t>> planned;
  RepairPlan built;
  for (const BackupBlockInfo& b : info.blocks) {
    SectorWrite w;
    w.sector = b.sector;
    w.count = b.count;
    w.after.resize(static_cast<std::size_t>(b.count) * ss);
    if (!ReadAllAt(fd.get(), b.offset, w.after.data(), w.after.size())) return RestoreStatus::ReadFailed;
    w.before.resize(w.after.size());
    if (device.ReadDeviceSectors(b.sector, w.before, b.count) != ReadOk) return RestoreStatus::ReadFailed;
    for (std::uint32_t i = 0; i < b.count; ++i) {
      const auto it = planned.find(b.sector + i);
      if (it != planned.end()) std::copy(it->second.begin(), it->second.end(), w.before.begin() + std::size_t{i} * ss);
    }
    for (std::uint32_t i = 0; i < b.count; ++i)
      planned[b.sector + i].assign(w.after.begin() + std::size_t{i} * ss, w.after.begin() + std::size_t{i + 1} * ss);
    built.backup.push_back({b.sector, b.count});
    if (w.before == w.after) continue;
    w.what = ToUtf16(std::to_string(b.sector));
    built.writes.push_back(std::move(w));
  }
  plan = std::move(built);
  return RestoreStatus::Ok;
}

}  // namespace kestrova
