// The Miniatures view's decoder: reads each picture's bytes through the
// volume's range reads into memory (nothing goes to disk) and decodes them on
// a worker thread; finished thumbnails come back to the GUI thread as queued
// signals.
#pragma once

#include "common/worker_thread.h"
#include "common/worker_token.h"
#include "scan/scan_entry.h"

#include <QImage>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace kestrova::gui {

// Whether the name's extension is one of the picture types the view decodes.
bool IsPictureName(std::u16string_view name);

class ThumbnailLoader : public QObject {
  Q_OBJECT
 public:
  // A picture to decode: the model's key for it, its record and its size.
  struct Job {
    std::uint32_t key = 0;
    ScanEntry entry = MakeScanEntry();
    std::uint64_t size = 0;
  };
  using ReadRange = std::function<std::vector<std::uint8_t>(const ScanEntry&, std::uint64_t, std::uint64_t)>;

  // Larger files are not read for a thumbnail.
  static constexpr std::uint64_t kMaxBytes = 32ull << 20;
  static constexpr int kSide = 96;

  explicit ThumbnailLoader(ReadRange read, QObject* parent = nullptr);
  ~ThumbnailLoader() override;

  // Stops the current batch and decodes `jobs` in order; results carry `generation`.
  void Start(std::vector<Job> jobs, int generation);
  void Stop();

 signals:
  void Decoded(int generation, quint32 key, const QImage& image);

 private:
  ReadRange read_;
  WorkerToken token_;
  WorkerThread thread_;
};

}  // namespace kestrova::gui
