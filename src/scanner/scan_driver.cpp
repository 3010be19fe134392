#include "scanner/scan_driver.h"

#include "common/activity.h"
#include "fs/fat/fat_dir.h"
#include "fs/ntfs/found_records.h"
#include "resources/strings.h"
#include "scan/lost_parents.h"
#include "scanner/metadata_probes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kestrova {

namespace {

std::uint64_t VolumeSectors(const SectorDevice& d) {
  if (d.volumeLastSector != kAllOnes) return d.volumeLastSector + 1;
  if (d.volumeSectorsHint) return d.volumeSectorsHint;
  if (d.deviceSectors != kAllOnes && d.deviceSectors > d.volumeStart) return d.deviceSectors - d.volumeStart;
  return 0;
}

}  // namespace

// The free test and the metadata probes of one family. The forward walk asks
// Free for every cluster and hands each read run to Probe; the reverse search
// hands whole windows to ProbeWindow.
struct ScanDriver::Family {
  virtual ~Family() = default;
  std::uint64_t first = 0;         // lowest cluster the walk visits
  std::uint64_t highest = 0;       // highest cluster
  std::uint32_t sectorsPerCluster = 1;
  std::int64_t clusterBase = 0;    // sector of cluster 0 (volume-relative)
  bool roundDown = false;          // NTFS: a skip past a find rounds down to whole clusters
  bool damaged = false;

  std::uint64_t SectorOf(std::uint64_t cluster) const {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(cluster * sectorsPerCluster) + clusterBase);
  }
  virtual bool FreeBit(std::uint64_t cluster) const = 0;
  bool Free(std::uint64_t cluster) const { return damaged || FreeBit(cluster); }
  // Every cluster of the walk counts: a damaged volume, or no table to ask.
  std::uint64_t AllClusters() const { return highest >= first ? highest - first + 1 : 0; }
  virtual std::uint64_t FreeTotal() const = 0;
  virtual void Probe(std::span<const std::uint8_t> /*run*/, std::uint64_t /*firstCluster*/,
                     std::uint64_t /*firstSector*/) {}
  virtual void ProbeWindow(std::span<const std::uint8_t> /*window*/, std::uint64_t /*firstSector*/) {}
  virtual void EndOfBlock() {}
  virtual void Finish() {}
  // NTFS records found but not yet merged (none for the other families).
  virtual const std::vector<ParsedRecord>* Batch() const { return nullptr; }
  virtual void RestoreBatch(std::vector<ParsedRecord> /*batch*/) {}
  virtual AllocationMap* Map() { return nullptr; }
};

namespace {

struct FatFamily : ScanDriver::Family {
  FatMetadataProbe probe;
  FatFamily(FatContext& ctx, ResultLists& lists) : probe(ctx, lists) {
    const FatVolume& v = ctx.volume;
    first = 2;
    highest = v.lastCluster;
    sectorsPerCluster = v.sectorsPerCluster;
    clusterBase = ctx.device.clusterBase;
  }
  bool FreeBit(std::uint64_t c) const override {
    return probe.ctx.volume.fat.empty() || IsClusterFree(probe.ctx.volume, static_cast<std::uint32_t>(c));
  }
  std::uint64_t FreeTotal() const override {
    if (damaged || probe.ctx.volume.fat.empty()) return AllClusters();
    return probe.ctx.volume.freeClusters;
  }
  void Probe(std::span<const std::uint8_t> run, std::uint64_t firstCluster, std::uint64_t) override {
    const std::size_t bpc = probe.ctx.volume.bytesPerCluster;
    for (std::size_t off = 0; off + bpc <= run.size(); off += bpc)
      probe.ProbeCluster(run.subspan(off, bpc), static_cast<std::uint32_t>(firstCluster + off / bpc), false);
  }
  void ProbeWindow(std::span<const std::uint8_t> window, std::uint64_t firstSector) override {
    const std::uint32_t bps = probe.ctx.volume.bytesPerSector;
    const std::size_t bpc = probe.ctx.volume.bytesPerCluster;
    for (std::size_t off = 0; off + bpc <= window.size(); off += bps) {
      const std::int64_t rel = static_cast<std::int64_t>(firstSector + off / bps) - clusterBase;
      if (rel < 0 || rel % sectorsPerCluster != 0) continue;
      const std::uint64_t c = static_cast<std::uint64_t>(rel) / sectorsPerCluster;
      if (c < first || c > highest) continue;
      probe.ProbeCluster(window.subspan(off, bpc), static_cast<std::uint32_t>(c), true);
    }
  }
  AllocationMap* Map() override { return &probe.ctx.volume.map; }
};

struct ExfatFamily : ScanDriver::Family {
  ExfatMetadataProbe probe;
  ExfatFamily(ExfatContext& ctx, ResultLists& lists) : probe(ctx, lists) {
    const ExfatVolume& v = ctx.volume;
    first = 2;
    highest = v.lastCluster;
    sectorsPerCluster = v.sectorsPerCluster;
    clusterBase = ctx.device.clusterBase;
  }
  bool FreeBit(std::uint64_t c) const override {
    return probe.ctx.volume.bitmap.empty() || IsExfatClusterFree(probe.ctx.volume, static_cast<std::uint32_t>(c));
  }
  std::uint64_t FreeTotal() const override {
    if (damaged || probe.ctx.volume.bitmap.empty()) return AllClusters();
    return probe.ctx.volume.freeClusters;
  }
  void Probe(std::span<const std::uint8_t> run, std::uint64_t firstCluster, std::uint64_t) override {
    const std::size_t bpc = probe.ctx.volume.bytesPerCluster;
    for (std::size_t off = 0; off + bpc <= run.size(); off += bpc)
      probe.ProbeCluster(run.subspan(off, bpc), static_cast<std::uint32_t>(firstCluster + off / bpc));
  }
  // The reverse search looks for nothing on exFAT: header detection only.
  AllocationMap* Map() override { return &probe.ctx.volume.map; }
};

struct NtfsFamily : ScanDriver::Family {
  NtfsRecordProbe probe;
  NtfsFamily(NtfsContext& ctx, ResultLists& lists) : probe(ctx, lists) {
    const NtfsVolume& v = ctx.volume;
    first = 0;
    highest = v.lastCluster;
    sectorsPerCluster = v.sectorsPerCluster;
    clusterBase = 0;
    roundDown = true;
  }
  bool FreeBit(std::uint64_t c) const override {
    return probe.ctx.volume.bitmap.empty() || IsNtfsClusterFree(probe.ctx.volume, c);
  }
  std::uint64_t FreeTotal() const override {
    if (damaged || probe.ctx.volume.bitmap.empty()) return highest + 1;
    return probe.ctx.volume.freeClusters;
  }
  void Probe(std::span<const std::uint8_t> run, std::uint64_t firstCluster, std::uint64_t firstSector) override {
    probe.ProbeRun(run, firstCluster, firstSector, true);
  }
  void ProbeWindow(std::span<const std::uint8_t> window, std::uint64_t firstSector) override {
    const std::int64_t c = static_cast<std::int64_t>(firstSector) / sectorsPerCluster;
    probe.ProbeRun(window, static_cast<std::uint64_t>(c), firstSector, false);
  }
  void EndOfBlock() override { probe.EndOfBlock(); }
  void Finish() override { probe.Flush(); }
  const std::vector<ParsedRecord>* Batch() const override { return &probe.batch(); }
  void RestoreBatch(std::vector<ParsedRecord> batch) override { probe.RestoreBatch(std::move(batch)); }
};

// A volume without a reader: every sector is free space, walked in clusters of 4 KiB.
struct RawFamily : ScanDriver::Family {
  std::uint64_t sectors = 0;
  explicit RawFamily(const SectorDevice& d) {
    sectors = VolumeSectors(d);
    const std::uint32_t ss = d.sectorSize ? d.sectorSize : 512;
    sectorsPerCluster = std::max<std::uint32_t>(1, 4096 / ss);
    first = 0;
    highest = sectors / sectorsPerCluster ? sectors / sectorsPerCluster - 1 : 0;
  }
  bool FreeBit(std::uint64_t) const override { return true; }
  std::uint64_t FreeTotal() const override { return sectors / sectorsPerCluster; }
};

}  // namespace

ScanDriver::ScanDriver(ScanTarget target, ScanOptions options, const ScanPosition* resume,
                       const ScanPendingState* state)
    : t_(target), options_(options), pos_(resume ? *resume : MakeScanPosition()), shared_(pos_) {
  if (resume && state) resumeState_ = *state;
  reader_ = std::make_unique<DeviceSectorReader>(t_.device);
  raw_ = std::make_unique<RawScanner>(*reader_);
  resumed_ = resume != nullptr;
  if (resume && (resume->flags & kScanPosReverse)) options_.reverse = true;
  if (resume && (resume->flags & kScanPosNoRaw)) options_.raw = false;
}

ScanDriver::~ScanDriver() = default;

ScanPosition ScanDriver::Position() const {
  std::scoped_lock g(posLock_);
  return shared_;
}

std::vector<std::uint8_t> ScanDriver::PendingState() const {
  std::scoped_lock g(posLock_);
  // Nothing found and nothing held: the session needs no block for it (a
  // resumed scan counts from its empty lists just the same).
  const auto& counts = sharedState_.raw.foundCounts;
  const bool nothing = !sharedState_.raw.pendingOpen && sharedState_.ntfsBatch.empty() &&
                       std::all_of(counts.begin(), counts.end(), [](std::uint32_t c) { return c == 0; });
  if (nothing) return {};
  return EncodeScanState(sharedState_);
}

void ScanDriver::Capture() {
  ScanPendingState state;
  state.raw = raw_->CarriedState();
  if (family_) {
    if (const std::vector<ParsedRecord>* batch = family_->Batch()) state.ntfsBatch = *batch;
  }
  std::scoped_lock g(posLock_);
  shared_ = pos_;
  sharedState_ = std::move(state);
}

ScanSnapshot ScanDriver::Snapshot() const {
  ScanSnapshot s;
  const ScanPosition p = Position();
  s.state = state_.load();
  s.percent = p.lastPercent;
  s.bytesDone = p.clustersProcessed * bytesPerCluster_;
  s.bytesTotal = p.freeTotal * bytesPerCluster_;
  s.elapsedSeconds = static_cast<double>(runningNanos_.load()) / 1e9;
  s.lostCount = p.lostCount;
  s.rawCount = raw_->progress.rawFiles.load();
  s.probeDone = probeDone_.load();
  s.probeTotal = probeTotal_.load();
  s.probing = probing_.load();
  const ScanItemTable& table = raw_->table();
  // One count per folder under "RAW files" (several rows may share one).
  for (std::size_t i = 0; i < kScanItemCount; ++i) {
    const std::uint32_t n = typeCounts_[i].load(std::memory_order_relaxed);
    if (!n) continue;
    const std::string folder(table[i].folderName);
    auto same = std::find_if(s.types.begin(), s.types.end(), [&](const ScanTypeCount& t) { return t.folder == folder; });
    if (same != s.types.end())
      same->count += n;
    else
      s.types.push_back({static_cast<std::uint16_t>(i), folder, n});
  }
  return s;
}

// Test hook: KESTROVA_TEST_SCAN_DELAY_MS slows every block down, so that a
// test can interrupt a scan of a small image part way (save, kill, resume).
int TestBlockDelayMs() {
  static const int delay = [] {
    const char* text = std::getenv("KESTROVA_TEST_SCAN_DELAY_MS");
    return text ? std::max(0, std::min(1000, std::atoi(text))) : 0;
  }();
  return delay;
}

// Test hook: KESTROVA_TEST_HOLD_AT_SECTOR=S holds the forward walk after the
// first block that takes it past sector S, until a pause (a checkpoint's
// save) or a stop is asked for, so that a test interrupts the scan at a known
// place however fast or loaded the machine is.
std::optional<std::uint64_t> TestHoldSector() {
  static const std::optional<std::uint64_t> sector = []() -> std::optional<std::uint64_t> {
    const char* text = std::getenv("KESTROVA_TEST_HOLD_AT_SECTOR");
    if (!text) return std::nullopt;
    return std::strtoull(text, nullptr, 10);
  }();
  return sector;
}

void ScanDriver::Publish(WorkerToken& token, bool block) {
  if (const int delay = TestBlockDelayMs()) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  const auto now = std::chrono::steady_clock::now();
  runningNanos_.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(now - started_).count());
  started_ = now;
  pos_.lastPercent = pos_.freeTotal
                         ? static_cast<std::uint32_t>(std::min<std::uint64_t>(100, pos_.freeVisited * 100 / pos_.freeTotal))
                         : 100;
  {
    std::scoped_lock g(t_.lists.lost.lock);
    pos_.lostCount = t_.lists.lost.size();
  }
  pos_.rawCount = raw_->progress.rawFiles.load();
  for (std::size_t i = 0; i < kScanItemCount; ++i)
    typeCounts_[i].store(raw_->FoundCount(i), std::memory_order_relaxed);
  {
    std::scoped_lock g(posLock_);
    shared_ = pos_;
  }
  token.SetTotal(pos_.freeTotal);
  token.SetDone(pos_.freeVisited);
  const std::uint64_t mb = pos_.clustersProcessed * bytesPerCluster_ / 1048576;
  token.SetStatus(RawProgressTitle(pos_.lastPercent, mb));
  const auto hold = TestHoldSector();
  if (block && hold && !held_ && !options_.reverse && pos_.currentSector > *hold) {
    held_ = true;
    while (!token.Paused() && !token.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Parks while paused. False when the scan is to end (stopped; abandoned when
// the stop came while parked by an abort).
bool ScanDriver::Parked(WorkerToken& token, bool& abandoned) {
  if (token.Paused() && !token.StopRequested()) {
    state_ = ScanState::Paused;
    pos_.flags |= kScanPosPaused;
    // A save may now ask where the scan stands and what it holds.
    Capture();
    token.SetStatus(Text(StringId::Caption) + u" " + Text(StringId::ScanPaused));
    const bool go = token.WaitWhilePaused();
    started_ = std::chrono::steady_clock::now();  // the pause is not running time
    pos_.flags &= ~kScanPosPaused;
    if (go) state_ = ScanState::Running;
  }
  if (token.Abandoned()) abandoned = true;
  stopMirror_.store(token.StopRequested(), std::memory_order_relaxed);
  return !token.StopRequested();
}

bool ScanDriver::ProbeBootSectors(WorkerToken& token, bool& abandoned) {
  const SectorRange range = options_.bootProbe;
  const std::uint32_t bps = t_.device.sectorSize ? t_.device.sectorSize : 512;
  if (!t_.bootProbe || range.count == 0 || bps < 512) return true;
  std::uint64_t count = range.count;
  if (t_.device.deviceSectors != kAllOnes) {
    if (range.first >= t_.device.deviceSectors) return true;
    count = std::min(count, t_.device.deviceSectors - range.first);
  }
  const std::uint64_t chunk = std::max<std::uint64_t>(1, kScanRunBytes / bps);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunk * bps));
  probeTotal_ = count;
  probing_ = true;
  token.SetTotal(count);
  bool go = true;
  for (std::uint64_t done = 0; done < count && !skipProbe_;) {
    if (!Parked(token, abandoned)) {
      go = false;
      break;
    }
    if (skipProbe_) break;  // skipped while parked
    const auto n = static_cast<std::uint32_t>(std::min(chunk, count - done));
    const std::span<std::uint8_t> data(buffer.data(), std::size_t{n} * bps);
    // Unreadable sectors have gone through the read-error policy (zeros, which
    // hold no boot sector); only a vanished device ends the probe.
    if (t_.device.ReadDeviceSectors(range.first + done, data, n) == ReadNotReady) break;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::span<const std::uint8_t> sector(data.subspan(std::size_t{i} * bps, bps));
      // The last sector's follower is not in the buffer: the probe reads it when it needs it.
      const std::span<const std::uint8_t> next =
          i + 1 < n ? std::span<const std::uint8_t>(data.subspan(std::size_t{i + 1} * bps, bps))
                    : std::span<const std::uint8_t>();
      // Only a sector ending in 55 AA can be a boot sector: the rest costs a compare.
      if (sector[510] == 0x55 && sector[511] == 0xAA) t_.bootProbe->Probe(range.first + done + i, sector, next);
    }
    done += n;
    probeDone_ = done;
    token.SetDone(done);
  }
  probing_ = false;
  return go;
}

ScanEnd ScanDriver::Forward(WorkerToken& token, Family& f) {
  ActivityMark activity(Fn::ScanFreeSpace);
  const std::uint32_t bps = t_.device.sectorSize ? t_.device.sectorSize : 512;
  const std::uint64_t bpc = std::uint64_t{f.sectorsPerCluster} * bps;
  const std::uint64_t block = std::max<std::uint64_t>(1, kScanRunBytes / bpc);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(block * bpc));
  if (pos_.currentCluster < f.first) pos_.currentCluster = f.first;
  bool abandoned = false;
  bool notReady = false;
  // A resumed scan has probed before it was saved.
  if (!resumed_) ProbeBootSectors(token, abandoned);
  while (pos_.currentCluster <= f.highest && pos_.freeVisited < pos_.freeTotal) {
    if (!Parked(token, abandoned)) break;
    std::uint64_t c = pos_.currentCluster;
    if (!f.Free(c)) {
      // Used clusters cost a bitmap test each, nothing more.
      while (c <= f.highest && !f.Free(c)) ++c;
      pos_.currentCluster = c;
      pos_.currentSector = f.SectorOf(c);
      continue;
    }
    std::uint64_t run = 0;
    while (run < block && c + run <= f.highest && f.Free(c + run)) ++run;
    const std::uint64_t sector = f.SectorOf(c);
    const auto count = static_cast<std::uint32_t>(run * f.sectorsPerCluster);
    const std::span<std::uint8_t> data(buffer.data(), static_cast<std::size_t>(run * bpc));
    // A failed read has gone through the read-error policy: what could not be
    // read is zeros and the walk goes on. Only a vanished device ends it.
    if (t_.device.ReadSectors(sector, data, count) == ReadNotReady) {
      notReady = true;
      break;
    }
    f.Probe(data, c, sector);
    std::uint64_t done = count;
    if (options_.raw) {
      RawScanWindow w;
      w.firstSector = sector;
      w.sectorCount = count;
      w.nextSector = sector + count;
      w.stride = 1;
      w.data = data.data();
      w.dataEnd = data.data() + data.size();
      pos_.windowFirstSector = sector;
      pos_.windowSectorCount = count;
      pos_.windowEndSector = sector + count;
      raw_->progressBase.clustersDone = pos_.freeVisited;
      raw_->ScanRawWindow(w, done);
    }
    f.EndOfBlock();
    pos_.clustersProcessed += run;
    pos_.freeVisited += run;
    c += run;
    if (done > count) {
      // A find runs past the run: go on after its end, on a cluster boundary.
      const std::uint64_t excess = done - count;
      std::uint64_t skip = f.roundDown ? excess / f.sectorsPerCluster
                                       : (excess + f.sectorsPerCluster - 1) / f.sectorsPerCluster;
      for (; skip && c <= f.highest; --skip, ++c)
        if (f.Free(c)) ++pos_.freeVisited;
    }
    pos_.currentCluster = c;
    pos_.currentSector = f.SectorOf(c);
    Publish(token);
  }
  if (abandoned || token.Abandoned()) return ScanEnd::Abandoned;
  if (token.StopRequested() && !notReady) return ScanEnd::Stopped;
  return ScanEnd::Finished;
}

ScanEnd ScanDriver::Reverse(WorkerToken& token, Family& f) {
  ActivityMark activity(Fn::ReverseSearch);
  const std::uint32_t bps = t_.device.sectorSize ? t_.device.sectorSize : 512;
  const std::uint64_t sectors = VolumeSectors(t_.device);
  constexpr std::size_t kTail = 32768;
  // 20 MiB whatever the sector size (40960 sectors of 512 bytes).
  const std::uint64_t windowSectors = std::max<std::uint64_t>(1, kReverseWindowBytes / bps);
  const std::size_t windowBytes = static_cast<std::size_t>(windowSectors * bps);
  std::vector<std::uint8_t> buffer(windowBytes + kTail, 14);
  pos_.flags |= kScanPosReverse;
  pos_.reverseWindowBytes = kReverseWindowBytes;
  // Progress counts sectors here, in clusters of the walk.
  if (pos_.reverseStep == 0 && pos_.currentSector == 0) pos_.currentSector = sectors;
  const std::uint64_t lower = pos_.reverseLowerBound;
  pos_.freeTotal = sectors > lower ? (sectors - lower + f.sectorsPerCluster - 1) / f.sectorsPerCluster : 0;
  bool abandoned = false;
  bool notReady = false;
  while (pos_.currentSector > lower) {
    if (!Parked(token, abandoned)) break;
    const std::uint64_t end = pos_.currentSector;
    const bool last = end - lower <= windowSectors;
    const std::uint64_t start = last ? lower : end - windowSectors;
    const auto count = static_cast<std::uint32_t>(end - start);
    const std::size_t bytes = std::size_t{count} * bps;
    if (last) {
      // The bytes behind the last, shorter window must not look like data.
      for (std::size_t i = 0; i < kTail; ++i) buffer[bytes + i] = static_cast<std::uint8_t>(start + i);
    }
    const std::span<std::uint8_t> data(buffer.data(), bytes);
    if (t_.device.ReadSectors(start, data, count) == ReadNotReady) {
      notReady = true;
      break;
    }
    f.ProbeWindow(data, start);
    if (options_.raw) {
      RawScanWindow w;
      w.firstSector = start;
      w.sectorCount = count;
      w.nextSector = end;
      w.data = data.data();
      w.dataEnd = data.data() + bytes;
      pos_.windowFirstSector = start;
      pos_.windowSectorCount = count;
      pos_.windowEndSector = end;
      std::uint64_t done = 0;
      raw_->ScanRawWindow(w, done);
    }
    ++pos_.reverseStep;
    pos_.currentSector = start;
    const std::uint64_t walked = (sectors - start + f.sectorsPerCluster - 1) / f.sectorsPerCluster;
    pos_.clustersProcessed = walked;
    pos_.freeVisited = std::min(walked, pos_.freeTotal);
    Publish(token);
  }
  if (abandoned || token.Abandoned()) return ScanEnd::Abandoned;
  if (token.StopRequested() && !notReady) return ScanEnd::Stopped;
  return ScanEnd::Finished;
}

ScanResult ScanDriver::Run(WorkerToken& token) {
  ActivityMark activity(Fn::ScanDriverRun);
  ScanResult result;
  std::unique_ptr<Family> family;
  if (t_.fat)
    family = std::make_unique<FatFamily>(*t_.fat, t_.lists);
  else if (t_.exfat)
    family = std::make_unique<ExfatFamily>(*t_.exfat, t_.lists);
  else if (t_.ntfs)
    family = std::make_unique<NtfsFamily>(*t_.ntfs, t_.lists);
  else
    family = std::make_unique<RawFamily>(t_.device);
  family->damaged = t_.damaged;
  family_ = family.get();
  const std::uint32_t bps = t_.device.sectorSize ? t_.device.sectorSize : 512;
  bytesPerCluster_ = std::uint64_t{family->sectorsPerCluster} * bps;

  raw_->config.sectorSize = bps;
  raw_->config.reverse = options_.reverse;
  raw_->config.sectorsPerCluster = family->sectorsPerCluster;
  raw_->config.clusterBase = family->clusterBase;
  raw_->sinks.raw = &t_.lists.raw;
  raw_->sinks.map = family->Map();
  raw_->sinks.ui = &t_.ui;
  raw_->control.stop = &stopMirror_;
  raw_->progressBase.clusterSize = bytesPerCluster_;
  raw_->ResetScanItems();
  if (resumed_) {
    raw_->RebuildTypeCounts(t_.lists.raw);  // a resumed scan numbers on
    std::uint32_t rawFiles = 0;
    {
      std::scoped_lock g(t_.lists.raw.lock);
      rawFiles = static_cast<std::uint32_t>(t_.lists.raw.size());
    }
    // Exactly where the interrupted scan stood: its counts, its open RAW
    // file, its NTFS records still to merge.
    if (!resumeState_ || !raw_->RestoreCarriedState(resumeState_->raw, rawFiles)) {
      raw_->progress.rawFiles = rawFiles;
    } else {
      family->RestoreBatch(std::move(resumeState_->ntfsBatch));
    }
    resumeState_.reset();
  } else {
    // A new scan starts the RAW results over: the same files are met again.
    // The lost list keeps what the folders and the MFT gave; its appends skip
    // what is listed already.
    std::scoped_lock g(t_.lists.raw.lock);
    t_.lists.raw.names.Clear();
    t_.lists.raw.records.Clear();
  }

  if (!options_.reverse) {
    if (pos_.freeTotal == 0) pos_.freeTotal = family->FreeTotal();
    raw_->progressBase.clustersTotal = pos_.freeTotal;
  }
  if (options_.raw == false) pos_.flags |= kScanPosNoRaw;
  if (!options_.reverse && pos_.freeTotal == 0) {
    state_ = ScanState::Empty;
    result.end = ScanEnd::Empty;
    result.position = pos_;
    return result;
  }
  state_ = ScanState::Running;
  started_ = std::chrono::steady_clock::now();
  const ScanEnd end = options_.reverse ? Reverse(token, *family) : Forward(token, *family);
  family->Finish();
  if (end == ScanEnd::Finished) {
    if (options_.raw) raw_->ClosePending(options_.reverse ? 0 : VolumeSectors(t_.device));
    pos_.flags |= kScanPosFinished;
  }
  Publish(token, false);
  Capture();
  family_ = nullptr;
  result.end = end;
  result.position = pos_;
  result.lostCount = pos_.lostCount;
  result.rawCount = pos_.rawCount;
  if (t_.fat) result.rebuildCount = RebuildLostParents(t_.lists, t_.fat->volume.rootCluster);
  if (t_.exfat) result.rebuildCount = RebuildLostParents(t_.lists, t_.exfat->volume.rootCluster);
  state_ = end == ScanEnd::Finished ? ScanState::Finished
           : end == ScanEnd::Stopped ? ScanState::Stopped
                                     : ScanState::Abandoned;
  if (end == ScanEnd::Finished)
    result.saveRequested = t_.ui.MessageBox(Text(StringId::SaveSessionPrompt), Text(StringId::Caption),
                                            MsgIcon::Question, MsgButtons::YesNo) == MsgChoice::Yes;
  return result;
}

}  // namespace kestrova
