#include "imaging/image_job.h"

#include "common/activity.h"
#include "common/number_text.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "resources/strings.h"
#include "volume/identify.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {
namespace {

struct Piece {
  std::uint64_t first;  // image-relative sector
  std::uint32_t count;
};

// The pieces of the image still to read: runs of the map that are untried (and
// bad, on a retry), cut at the chunk size as the copy goes (a list of every
// piece of a large disk would be large itself).
class PieceWalk {
 public:
  PieceWalk(const ImageMap& map, bool retryBad, std::uint32_t chunk) : chunk_(chunk) {
    for (const MapRun& run : map.Runs())
      if (run.status == MapStatus::Untried || (run.status == MapStatus::Bad && retryBad)) runs_.push_back(run);
  }
  std::uint64_t Sectors() const {
    std::uint64_t n = 0;
    for (const MapRun& r : runs_) n += r.count;
    return n;
  }
  bool Next(Piece& piece) {
    while (index_ < runs_.size() && offset_ >= runs_[index_].count) {
      ++index_;
      offset_ = 0;
    }
    if (index_ >= runs_.size()) return false;
    const MapRun& run = runs_[index_];
    piece = {run.start + offset_, static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk_, run.count - offset_))};
    offset_ += piece.count;
    return true;
  }

 private:
  std::vector<MapRun> runs_;
  std::uint32_t chunk_;
  std::size_t index_ = 0;
  std::uint64_t offset_ = 0;
};

bool IsFullError(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// Writes chunks to the image one at a time, in the order they are handed over,
// while the reader fills the other buffer. After each chunk the map is brought
// up to date; every mapInterval it is saved (after the image's data is on disk,
// so a map never claims sectors a crash could lose).
class ChunkWriter {
 public:
  struct Chunk {
    const std::uint8_t* data = nullptr;
    Piece piece{};
    std::vector<std::uint64_t> bad;  // image-relative
  };

  ChunkWriter(int fd, std::uint32_t sectorSize, ImageMap& map, const std::string& mapPath,
              std::chrono::milliseconds mapInterval, WorkerToken& progress, ImageResult& result)
      : fd_(fd), sectorSize_(sectorSize), map_(map), mapPath_(mapPath), mapInterval_(mapInterval),
        progress_(progress), result_(result), lastMapSave_(std::chrono::steady_clock::now()) {
    thread_.Start(token_, [this](WorkerToken&) { Loop(); });
  }
  ~ChunkWriter() { Finish(); }

  // Waits until the previous chunk is written, then hands this one over.
  // False when an earlier write failed (the job ends).
  bool Post(Chunk chunk) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return !pending_ || failed_; });
    if (failed_) return false;
    chunk_ = std::move(chunk);
    pending_ = true;
    changed_.notify_all();
    return true;
  }
  // Waits for the last chunk and ends the writer thread.
  void Finish() {
    {
      std::unique_lock guard(lock_);
      changed_.wait(guard, [&] { return !pending_ || failed_; });
      closing_ = true;
      changed_.notify_all();
    }
    thread_.Join();
  }
  bool failed() {
    std::scoped_lock guard(lock_);
    return failed_;
  }
  // Why the writer stopped; read after Finish.
  ImageStatus failStatus() const { return failStatus_; }
  int failError() const { return failError_; }
  // The image's data to disk, then the map: the map never runs ahead of the image.
  int SaveMap(std::uint64_t currentSector, bool finished) {
    if (mapPath_.empty()) return 0;
    if (::fdatasync(fd_) != 0 && errno != EINVAL) return errno;
    return ReplaceFileAtomically(mapPath_, FormatImageMap(map_, sectorSize_, currentSector, finished));
  }

 private:
  void Loop() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return pending_ || closing_; });
        if (!pending_) return;
        chunk = std::move(chunk_);
      }
      const bool ok = Write(chunk);
      std::scoped_lock guard(lock_);
      pending_ = false;
      if (!ok) failed_ = true;
      changed_.notify_all();
    }
  }

  bool Write(const Chunk& chunk) {
    ActivityMark activity(Fn::ImageWriteChunk);
    const std::size_t bytes = static_cast<std::size_t>(chunk.piece.count) * sectorSize_;
    const off_t offset = static_cast<off_t>(chunk.piece.first * sectorSize_);
    std::size_t done = 0;
    while (done < bytes) {
      const ssize_t r = ::pwrite(fd_, chunk.data + done, bytes - done, offset + static_cast<off_t>(done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        const int error = r < 0 ? errno : ENOSPC;  // a write of nothing: the device took no more
        failError_ = error;
        failStatus_ = IsFullError(error) ? ImageStatus::DiskFull : ImageStatus::WriteFailed;
        // The whole sectors that did reach the image count as copied.
        done -= done % sectorSize_;
        Account(chunk, static_cast<std::uint32_t>(done / sectorSize_));
        return false;
      }
      done += static_cast<std::size_t>(r);
    }
    Account(chunk, chunk.piece.count);
    const auto now = std::chrono::steady_clock::now();
    if (!mapPath_.empty() && now - lastMapSave_ >= mapInterval_) {
      lastMapSave_ = now;
      if (const int error = SaveMap(chunk.piece.first + chunk.piece.count, false); error != 0) {
        failError_ = error;
        failStatus_ = ImageStatus::MapWriteFailed;
        return false;
      }
    }
    return true;
  }

  // Records the first `sectors` of the chunk as written: good, or bad where the read failed.
  void Account(const Chunk& chunk, std::uint32_t sectors) {
    if (sectors == 0) return;
    map_.Set(chunk.piece.first, sectors, MapStatus::Good);
    std::uint64_t bad = 0;
    for (std::uint64_t s : chunk.bad) {
      if (s >= chunk.piece.first + sectors) continue;
      map_.Set(s, 1, MapStatus::Bad);
      if (result_.unreadable.size() < kMaxListedUnreadable) result_.unreadable.push_back(s);
      ++bad;
    }
    result_.sectorsWritten += sectors;
    progress_.AddDone(sectors);
    if (bad) progress_.AddItems(bad);
  }

  int fd_;
  std::uint32_t sectorSize_;
  ImageMap& map_;
  const std::string& mapPath_;
  std::chrono::milliseconds mapInterval_;
  WorkerToken& progress_;
  ImageResult& result_;
  std::chrono::steady_clock::time_point lastMapSave_;

  std::mutex lock_;
  std::condition_variable changed_;
  Chunk chunk_;
  bool pending_ = false;
  bool closing_ = false;
  bool failed_ = false;
  ImageStatus failStatus_ = ImageStatus::Done;
  int failError_ = 0;
  WorkerToken token_;
  WorkerThread thread_;
};

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<std::uint64_t> BootReplacementSector(SectorDevice& device, std::uint64_t start, std::uint64_t count,
                                                   std::u16string_view fsName) {
  ActivityMark activity(Fn::ImageBootReplacement);
  const std::uint32_t ss = device.sectorSize;
  if (ss < 512 || count == 0) return std::nullopt;
  std::vector<std::uint8_t> sector(ss);
  // A first sector that is recognised stays as it is.
  if (device.ReadDeviceSectors(start, sector, 1) == ReadOk && QuickFsTest(sector) != FsType::RawOther)
    return std::nullopt;
  if (fsName == u"NTFS") return count - 1;
  if (fsName == u"EXFAT") return count > 12 ? std::optional<std::uint64_t>(12) : std::nullopt;
  if (fsName == u"FAT32") {
    const auto saysFat32 = [&](std::uint64_t at) {
      if (at >= count || device.ReadDeviceSectors(start + at, sector, 1) != ReadOk) return false;
      return std::memcmp(sector.data() + 82, "FAT32", 5) == 0;
    };
    if (saysFat32(6)) return 6;
    if (saysFat32(2)) return 2;
    return count > 6 ? std::optional<std::uint64_t>(6) : std::nullopt;
  }
  return std::nullopt;
}

ImageResult RunImageJob(SectorDevice& device, const ImageRequest& request, WorkerToken& token) {
  ActivityMark activity(Fn::RunImageJob);
  ImageResult result;
  const std::uint32_t ss = device.sectorSize;
  if (!device.IsOpen() || ss == 0 || request.count == 0 || request.outputPath.empty()) return result;
  if (request.start > device.deviceSectors || device.deviceSectors - request.start < request.count) return result;

  // Overwrite protection: neither the image nor its map may land on the device being read.
  if (PathIsOnSource(request.outputPath, request.source) ||
      (!request.mapPath.empty() && PathIsOnSource(request.mapPath, request.source))) {
    result.status = ImageStatus::OutputOnSource;
    return result;
  }

  ImageMap map(request.count);
  if (!request.mapPath.empty()) {
    std::string text;
    const int error = ReadMapFile(request.mapPath, text);
    if (error == 0) {
      const MapParse parsed = ParseImageMap(text, ss, request.count, map, result.mapLine);
      if (parsed != MapParse::Ok) {
        result.status = ImageStatus::MapUnreadable;
        result.mapFault = parsed;
        return result;
      }
      result.resumed = true;
      // Sectors the map calls copied live only in the image: without it they would be holes.
      if (map.Count(MapStatus::Untried) != request.count && !FileExists(request.outputPath)) {
        result.status = ImageStatus::MapWithoutImage;
        return result;
      }
    } else if (error != ENOENT) {
      result.status = ImageStatus::MapUnreadable;
      result.error = error;
      return result;
    }
  }

  std::uint32_t chunk = request.chunkSectors;
  if (chunk == 0) chunk = static_cast<std::uint32_t>(std::max<std::size_t>(1, device.buffers.transferUnit() / ss));
  result.chunkSectors = chunk;
  result.wholeChunks = request.count / chunk;
  result.remainder = request.count % chunk;

  // A resumed copy writes into the image it continues; a new one starts an empty file.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (result.resumed ? 0 : O_TRUNC);
  const int fd = ::open(request.outputPath.c_str(), flags, 0644);
  if (fd < 0) {
    result.status = ImageStatus::CantCreate;
    result.error = errno;
    return result;
  }

  AlignedBuffer buffers[2];
  const std::size_t chunkBytes = static_cast<std::size_t>(chunk) * ss;
  if (!buffers[0].Resize(chunkBytes) || !buffers[1].Resize(chunkBytes)) {
    ::close(fd);
    result.status = ImageStatus::NoMemory;
    return result;
  }

  std::vector<std::uint8_t> boot;
  if (request.bootReplacement && *request.bootReplacement < request.count) {
    boot.resize(ss);
    if (device.ReadDeviceSectors(request.start + *request.bootReplacement, boot, 1) != ReadOk) boot.clear();
  }

  PieceWalk pieces(map, request.retryBad, chunk);
  const std::uint64_t toRead = pieces.Sectors();
  token.SetTotal(request.count);
  token.SetDone(request.count - toRead);
  std::uint64_t knownBad = request.retryBad ? 0 : map.Count(MapStatus::Bad);
  token.AddItems(knownBad);

  result.status = ImageStatus::Done;
  std::uint64_t reached = 0;
  {
    ChunkWriter writer(fd, ss, map, request.mapPath, std::chrono::milliseconds(request.mapIntervalMs), token, result);
    std::vector<std::uint64_t> unreadable;
    std::size_t turn = 0;
    Piece piece{};
    while (pieces.Next(piece)) {
      if (!token.WaitWhilePaused() || token.StopRequested()) {
        result.status = ImageStatus::Aborted;
        break;
      }
      AlignedBuffer& buffer = buffers[turn++ & 1];  // the writer is done with it: Post waited for that
      const std::span<std::uint8_t> bytes = buffer.span().subspan(0, static_cast<std::size_t>(piece.count) * ss);
      unreadable.clear();
      const ReadResult read = device.ReadDeviceSectors(request.start + piece.first, bytes, piece.count, unreadable);
      if (read == ReadNotReady) {
        result.status = ImageStatus::DeviceGone;
        break;
      }
      ChunkWriter::Chunk out;
      out.data = buffer.data();
      out.piece = piece;
      if (read != ReadOk) {
        // The sectors that failed hold no data: zeros in the image, "-" in the map.
        // A read refused whole names no sector: all of it counts as unreadable.
        if (unreadable.empty())
          for (std::uint32_t i = 0; i < piece.count; ++i) unreadable.push_back(request.start + piece.first + i);
        for (std::uint64_t absolute : unreadable) {
          const std::uint64_t at = absolute - request.start;
          if (at < piece.first || at - piece.first >= piece.count) continue;
          std::memset(buffer.data() + (at - piece.first) * ss, 0, ss);
          out.bad.push_back(at);
        }
      }
      if (piece.first == 0 && !boot.empty()) {
        std::memcpy(buffer.data(), boot.data(), ss);
        result.bootReplaced = true;
      }
      if (!writer.Post(std::move(out))) break;  // the writer set the reason
      reached = piece.first + piece.count;
    }
    writer.Finish();
    if (writer.failed()) {
      result.status = writer.failStatus();
      result.error = writer.failError();
    }
    // The map as it stands: also after an abort or a failure, so the copy can continue.
    const bool finished = map.Count(MapStatus::Untried) == 0;
    if (const int error = writer.SaveMap(reached, finished); error != 0 && result.status == ImageStatus::Done) {
      result.status = ImageStatus::MapWriteFailed;
      result.error = error;
    }
  }
  if (::fsync(fd) != 0 && result.status == ImageStatus::Done && errno != EINVAL) {
    result.error = errno;
    result.status = IsFullError(errno) ? ImageStatus::DiskFull : ImageStatus::WriteFailed;
  }
  if (::close(fd) != 0 && result.status == ImageStatus::Done) {
    result.error = errno;
    result.status = IsFullError(errno) ? ImageStatus::DiskFull : ImageStatus::WriteFailed;
  }
  result.sectorsCopied = map.Count(MapStatus::Good);
  result.sectorsUnreadable = map.Count(MapStatus::Bad);
  result.sectorsLeft = map.Count(MapStatus::Untried);
  return result;
}

std::u16string ImageStatusText(ImageStatus status) {
  switch (status) {
    case ImageStatus::Done: return Text(StringId::ImageDone);
    case ImageStatus::Aborted: return Text(StringId::ImageAborted);
    case ImageStatus::OutputOnSource: return Text(StringId::PleaseSelectAnotherDrive);
    case ImageStatus::BadRequest:
    case ImageStatus::CantCreate: return Text(StringId::ImageCantCreate);
    case ImageStatus::WriteFailed: return Text(StringId::ImageWriteFailed);
    case ImageStatus::DiskFull: return Text(StringId::ImageDiskFull);
    case ImageStatus::DeviceGone: return Text(StringId::ImageDeviceGone);
    case ImageStatus::MapUnreadable: return Text(StringId::ImageMapUnreadable);
    case ImageStatus::MapWithoutImage: return Text(StringId::ImageMapWithoutImage);
    case ImageStatus::MapWriteFailed: return Text(StringId::ImageMapWriteFailed);
    case ImageStatus::NoMemory: return Text(StringId::MemoryFresh);
  }
  return Text(StringId::ImageWriteFailed);
}

std::u16string ImageSummaryText(const ImageResult& result) {
  return FillPlaceholders(Text(StringId::ImageSummary),
                          {ToUtf16(GroupNumber(result.sectorsCopied)), ToUtf16(GroupNumber(result.sectorsUnreadable)),
                           ToUtf16(GroupNumber(result.sectorsLeft))});
}

}  // namespace kestrova
