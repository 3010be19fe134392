#include "explore/image_copy.h"

#include "common/activity.h"

namespace kestrova {

SessionStatus ImageCopy::Prepare(const ImageChoice& choice, ImageRequest& request) {
  SectorDevice& device = session_.device();
  if (!device.IsOpen() || device.deviceSectors == 0 || device.deviceSectors == kAllOnes) return SessionStatus::CantOpen;
  request = ImageRequest{};
  request.outputPath = choice.outputPath;
  request.mapPath = choice.mapPath;
  request.retryBad = choice.retryBad;
  request.chunkSectors = choice.chunkSectors;
  request.source = IdentityOfSource(session_.sourcePath());
  if (choice.byRange) {
    if (choice.start >= device.deviceSectors) return SessionStatus::BadVolume;
    request.start = choice.start;
    request.count = device.deviceSectors - choice.start;
    if (choice.count != 0 && choice.count < request.count) request.count = choice.count;
    if (choice.start != 0 || choice.count != 0)
      request.bootReplacement = BootReplacementSector(device, request.start, request.count, choice.fsName);
    return SessionStatus::Ok;
  }
  if (!choice.row) {
    request.start = 0;
    request.count = device.deviceSectors;
    return SessionStatus::Ok;
  }
  if (*choice.row >= session_.rows().size()) return SessionStatus::BadVolume;
  const DriveEntry& entry = session_.rows()[*choice.row].entry;
  request.start = entry.start;
  request.count = entry.sectors;
  // A listed volume that runs past the end of the source is copied as far as it goes.
  if (request.start >= device.deviceSectors) return SessionStatus::BadVolume;
  if (device.deviceSectors - request.start < request.count) request.count = device.deviceSectors - request.start;
  request.bootReplacement = BootReplacementSector(device, request.start, request.count, EntryFsName(entry));
  return SessionStatus::Ok;
}

ImageResult ImageCopy::Run(const ImageRequest& request) {
  return RunImageJob(session_.device(), request, token_);
}

bool ImageCopy::Start(const ImageRequest& request) {
  if (token_.Running()) return false;
  thread_.Join();
  token_.Reset();
  finished_.store(false);
  return thread_.Start(token_, [this, request](WorkerToken& token) {
    result_ = RunImageJob(session_.device(), request, token);
    finished_.store(true, std::memory_order_release);
  });
}

const ImageResult& ImageCopy::Wait() {
  thread_.Join();
  return result_;
}

}  // namespace kestrova
