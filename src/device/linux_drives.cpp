#include "device/drive_tables.h"

#include "common/text.h"
#include "resources/strings.h"

#include <algorithm>
#include <blkid.h>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/statvfs.h>

namespace kestrova {
namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  std::size_t i = 0;
  while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
  return line.substr(i);
}

std::uint64_t ReadNumber(const fs::path& p) {
  const std::string s = ReadLine(p);
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return 0;
  try {
    return std::stoull(s);
  } catch (...) {
    return 0;
  }
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

struct Probe {
  std::string type, version, label, uuid;
};

Probe ProbeDevice(const std::string& devPath) {
  Probe out;
  blkid_probe pr = blkid_new_probe_from_filename(devPath.c_str());
  if (!pr) return out;
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_UUID |
                                            BLKID_SUBLKS_VERSION);
  if (blkid_do_safeprobe(pr) == 0) {
    const char* v = nullptr;
    if (blkid_probe_lookup_value(pr, "TYPE", &v, nullptr) == 0 && v) out.type = v;
    if (blkid_probe_lookup_value(pr, "VERSION", &v, nullptr) == 0 && v) out.version = v;
    if (blkid_probe_lookup_value(pr, "LABEL", &v, nullptr) == 0 && v) out.label = v;
    if (blkid_probe_lookup_value(pr, "UUID", &v, nullptr) == 0 && v) out.uuid = v;
  }
  blkid_free_probe(pr);
  return out;
}

std::u16string SystemFsName(const Probe& p) {
  if (p.type == "vfat" && StartsWith(p.version, "FAT")) return ToUtf16(p.version);
  std::string up = p.type;
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ToUtf16(up);
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
      out += static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

const PhysicalDrive* DriveTables::Physical(std::int32_t number) const {
  for (const PhysicalDrive& d : physical)
    if (d.number == number) return &d;
  return nullptr;
}

bool IsListablePhysicalName(const std::string& name) {
  if (StartsWith(name, "ram") || StartsWith(name, "zram")) return false;
  if (StartsWith(name, "sd") || StartsWith(name, "hd") || StartsWith(name, "vd") || StartsWith(name, "xvd"))
    return true;
  if (StartsWith(name, "nvme")) return name.find('n', 4) != std::string::npos && name.find('c', 4) == std::string::npos;
  if (StartsWith(name, "mmcblk")) return name.find("boot") == std::string::npos && name.find("rpmb") == std::string::npos;
  if (StartsWith(name, "loop")) return true;  // kept only with a backing file, checked by the caller
  return false;
}

std::u16string DriveModelName(const SystemPaths& paths, const std::string& blockName, std::int32_t number) {
  const fs::path dev = fs::path(paths.sysBlock) / blockName / "device";
  std::string vendor = ReadLine(dev / "vendor");
  if (StartsWith(vendor, "0x")) vendor.clear();  // a bus id (virtio), not a name
  std::string model = ReadLine(dev / "model");
  if (model.empty()) model = ReadLine(dev / "name");  // MMC
  std::string text = vendor.empty() ? model : model.empty() ? vendor : vendor + " " + model;
  if (text.empty()) {
    std::u16string n = ToUtf16(std::to_string(number));
    return FillPlaceholders(Text(StringId::PhysicalDriveName), {n});
  }
  return ToUtf16(text);
}

std::vector<PhysicalDrive> EnumeratePhysicalDrives(const SystemPaths& paths) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(paths.sysBlock, ec)) {
    const std::string name = entry.path().filename().string();
    if (!IsListablePhysicalName(name)) continue;
    if (StartsWith(name, "loop") && ReadLine(entry.path() / "loop" / "backing_file").empty()) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<PhysicalDrive> drives;
  for (const std::string& name : names) {
    if (static_cast<std::int32_t>(drives.size()) >= kMaxPhysicalDrives) break;
    PhysicalDrive d;
    d.number = static_cast<std::int32_t>(drives.size());
    d.devicePath = (fs::path(paths.dev) / name).string();
    d.byteLength = ReadNumber(fs::path(paths.sysBlock) / name / "size") * 512;
    if (d.byteLength == 0) continue;  // no medium
    d.sectors = d.byteLength / 512;
    const std::uint64_t lbs = ReadNumber(fs::path(paths.sysBlock) / name / "queue" / "logical_block_size");
    d.sectorSize = lbs >= 512 && lbs <= 65536 ? static_cast<std::uint32_t>(lbs) : 512;
    d.model = DriveModelName(paths, name, d.number);
    drives.push_back(std::move(d));
  }
  return drives;
}

std::vector<MountRecord> ParseMountInfo(const std::string& text) {
  std::vector<MountRecord> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string word;
    while (fields >> word) f.push_back(word);
    const auto dash = std::find(f.begin(), f.end(), "-");
    if (f.size() < 5 || dash == f.end() || std::distance(dash, f.end()) < 3) continue;
    MountRecord r;
    r.majorMinor = f[2];
    r.mountPoint = Unescape(f[4]);
    r.source = Unescape(*(dash + 2));
    out.push_back(std::move(r));
  }
  return out;
}

std::uint32_t SerialFromUuid(const std::string& uuid) {
  std::string hex;
  for (char c : uuid)
    if (c != '-') hex += c;
  if ((hex.size() != 8 && hex.size() != 16) ||
      !std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return 0;
  return static_cast<std::uint32_t>(std::stoul(hex.substr(hex.size() - 8), nullptr, 16));
}

std::vector<SystemVolume> EnumerateSystemVolumes(const SystemPaths& paths, const std::vector<PhysicalDrive>& drives) {
  std::string mountText;
  {
    std::ifstream in(paths.mountInfo);
    std::stringstream ss;
    ss << in.rdbuf();
    mountText = ss.str();
  }
  const std::vector<MountRecord> mounts = ParseMountInfo(mountText);
  auto driveByName = [&](const std::string& name) -> const PhysicalDrive* {
    for (const PhysicalDrive& d : drives)
      if (fs::path(d.devicePath).filename() == name) return &d;
    return nullptr;
  };

  std::vector<SystemVolume> out;
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& e : fs::directory_iterator(paths.sysClassBlock, ec)) entries.push_back(e.path());
  std::sort(entries.begin(), entries.end());
  for (const fs::path& p : entries) {
    const std::string name = p.filename().string();
    if (StartsWith(name, "ram") || StartsWith(name, "zram") || StartsWith(name, "sr")) continue;
    const bool isPartition = fs::exists(p / "partition", ec);
    const std::uint64_t size = ReadNumber(p / "size") * 512;
    if (size == 0) continue;
    SystemVolume v;
    v.devicePath = (fs::path(paths.dev) / name).string();
    v.sizeBytes = size;
    const PhysicalDrive* parent = nullptr;
    if (isPartition) {
      const fs::path real = fs::weakly_canonical(p, ec);
      parent = driveByName(real.parent_path().filename().string());
    } else {
      parent = driveByName(name);
    }
    if (parent) {
      v.physicalDrive = parent->number;
      v.sectorSize = parent->sectorSize;
      v.startSector = isPartition ? ReadNumber(p / "start") * 512 / parent->sectorSize : 0;
    } else if (!isPartition && IsListablePhysicalName(name) && !StartsWith(name, "loop")) {
      continue;  // a disk that was not listed (no medium): nothing to show
    }
    Probe probe;
    if (paths.probeLabels) probe = ProbeDevice(v.devicePath);
    // Whole devices are volumes only when they carry a file system themselves.
    if (!isPartition && probe.type.empty()) continue;
    v.label = ToUtf16(probe.label);
    v.fsName = SystemFsName(probe);
    v.serial = SerialFromUuid(probe.uuid);
    const std::string majmin = ReadLine(p / "dev");
    for (const MountRecord& m : mounts)
      if (m.majorMinor == majmin) {
        v.mountPoint = m.mountPoint;
        break;
      }
    v.totalBytes = size;
    if (!v.mountPoint.empty()) {
      struct statvfs st {};
      if (::statvfs(v.mountPoint.c_str(), &st) == 0) {
        v.totalBytes = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
        v.freeBytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
      }
    }
    out.push_back(std::move(v));
  }
  return out;
}

std::optional<VolumePlace> VolumeLocation(const DriveTables& tables, const std::string& volumePath) {
  std::error_code ec;
  const fs::path want = fs::weakly_canonical(volumePath, ec);
  for (const SystemVolume& v : tables.volumes) {
    if (v.devicePath != volumePath && fs::weakly_canonical(v.devicePath, ec) != want) continue;
    return VolumePlace{v.physicalDrive, v.startSector, v.sectorSize};
  }
  return std::nullopt;
}

std::optional<std::pair<std::uint64_t, std::uint32_t>> VolumeSectors(const DriveTables& tables,
                                                                     const std::string& volumePath) {
  for (const SystemVolume& v : tables.volumes)
    if (v.devicePath == volumePath && v.sectorSize != 0 && v.sizeBytes != 0)
      return std::make_pair(v.sizeBytes / v.sectorSize, v.sectorSize);
  return std::nullopt;
}

}  // namespace kestrova
