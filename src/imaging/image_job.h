// The copy of a drive or a volume, sector by sector, into a raw image file.
// Runs on the worker its owner starts (the token gives pause, resume, abort
// and the progress a window polls); the next chunk is read while the previous
// one is written. Unreadable sectors go into the image as zeros and into the
// map; a write that fails ends the job with the reason and the count copied.
#pragma once

#include "common/worker_token.h"
#include "device/device_identity.h"
#include "device/sector_device.h"
#include "imaging/image_map.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

struct ImageRequest {
  std::uint64_t start = 0;      // first absolute sector of the device to copy
  std::uint64_t count = 0;      // sectors
  std::string outputPath;
  std::string mapPath;          // empty: no map. An existing map resumes the copy it describes
  bool retryBad = false;        // with a map: read its bad areas again
  // Volume-relative sector whose contents go into the image's first sector
  // (a damaged boot sector replaced by its backup).
  std::optional<std::uint64_t> bootReplacement;
  SourceIdentity source;        // the device being read: the output must not be on it
  std::uint32_t chunkSectors = 0;  // 0: the device's transfer unit
  // How often the map is brought up to date while the copy runs.
  std::uint32_t mapIntervalMs = 5000;
};

enum class ImageStatus {
  Done,
  Aborted,          // stopped on request; the partial image (and map) stay
  BadRequest,       // nothing to copy, or no open device
  OutputOnSource,   // the image or the map would be written on the device being read
  CantCreate,       // the image file cannot be created or opened
  WriteFailed,      // a write to the image failed (error tells why)
  DiskFull,         // the destination ran out of space
  DeviceGone,       // the source stopped answering (unplugged, medium removed)
  MapUnreadable,    // the map exists but cannot be read or is not a map of this source
  MapWithoutImage,  // the map says sectors were copied, but the image file is missing
  MapWriteFailed,   // the map cannot be written
  NoMemory,
};

struct ImageResult {
  ImageStatus status = ImageStatus::BadRequest;
  int error = 0;                        // errno of a failed create or write
  MapParse mapFault = MapParse::Ok;     // MapUnreadable: why
  std::size_t mapLine = 0;              // MapUnreadable: where
  std::uint64_t sectorsWritten = 0;     // written to the image by this run
  std::uint64_t sectorsCopied = 0;      // of the whole image, read and written (map "+")
  std::uint64_t sectorsUnreadable = 0;  // of the whole image, written as zeros (map "-")
  std::uint64_t sectorsLeft = 0;        // not tried yet (an aborted or failed run)
  std::vector<std::uint64_t> unreadable;  // image-relative sectors this run could not read (first 100 000)
  std::uint32_t chunkSectors = 0;
  std::uint64_t wholeChunks = 0;        // of a run without a map: count / chunk
  std::uint64_t remainder = 0;          //   and count mod chunk
  bool bootReplaced = false;
  bool resumed = false;                 // continued from an existing map
};

inline constexpr std::size_t kMaxListedUnreadable = 100'000;

// Copies request.count sectors from request.start of the open device. Returns
// when done, stopped through the token, or failed. Progress: done/total in
// sectors, items = unreadable sectors so far.
ImageResult RunImageJob(SectorDevice& device, const ImageRequest& request, WorkerToken& token);

// The sector of a volume whose contents replace its first sector in an image,
// when the first sector is not recognised: the NTFS backup at the volume's last
// sector, the exFAT backup at 12, the FAT32 backup at 6 (or 2 when only 2 says
// FAT32). `fsName` is the name the listing gave the volume. Nothing for other names.
std::optional<std::uint64_t> BootReplacementSector(SectorDevice& device, std::uint64_t start, std::uint64_t count,
                                                   std::u16string_view fsName);

// What a front end tells the user about how the job ended, and the counts.
std::u16string ImageStatusText(ImageStatus status);
std::u16string ImageSummaryText(const ImageResult& result);

}  // namespace kestrova
