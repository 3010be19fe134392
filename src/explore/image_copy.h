// Imaging through the opened source of a VolumeSession: the whole source or
// one of its listed volumes copied into an image file on a worker, with the
// pause, resume, abort and progress both front ends show.
#pragma once

#include "common/worker_thread.h"
#include "common/worker_token.h"
#include "explore/volume_session.h"
#include "imaging/image_job.h"

#include <atomic>
#include <optional>
#include <string>

namespace kestrova {

struct ImageChoice {
  std::optional<std::size_t> row;  // a row of the session's listing (0-based); none: the whole source
  // Or a volume given by place (a row of the drive list): `count` sectors from
  // `start` (0: to the end of the source), named `fsName` by its listing.
  bool byRange = false;
  std::uint64_t start = 0, count = 0;
  std::u16string fsName;
  std::string outputPath;
  std::string mapPath;             // optional; an existing one resumes
  bool retryBad = false;
  std::uint32_t chunkSectors = 0;  // 0: the device's transfer unit
};

class ImageCopy {
 public:
  explicit ImageCopy(VolumeSession& session) : session_(session) {}
  ~ImageCopy() { thread_.StopAndJoin(); }
  ImageCopy(const ImageCopy&) = delete;
  ImageCopy& operator=(const ImageCopy&) = delete;

  // The request for a choice: the sector range, the boot-sector replacement of
  // a volume whose first sector is not recognised, the source's identity.
  // BadVolume for a row out of range, CantOpen when no source is open.
  SessionStatus Prepare(const ImageChoice& choice, ImageRequest& request);
  // Starts the copy on its worker. False when one is running.
  bool Start(const ImageRequest& request);
  // Runs the copy on the calling thread (a caller that is itself a worker).
  ImageResult Run(const ImageRequest& request);

  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // Waits for the end of the copy started by Start.
  const ImageResult& Wait();
  const ImageResult& result() const { return result_; }

  WorkerToken& token() { return token_; }
  WorkerProgress Progress() const { return token_.Progress(); }
  bool TogglePause() { return token_.TogglePause(); }
  // Ends after the chunk being read; a paused copy ends without another chunk.
  void Abort() {
    token_.AbortWhilePaused();
    token_.RequestStop();
  }

 private:
  VolumeSession& session_;
  WorkerToken token_;
  ImageResult result_;
  std::atomic<bool> finished_{false};
  WorkerThread thread_;
};

}  // namespace kestrova
