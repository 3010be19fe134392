#include "gui/thumbnail_loader.h"

#include "common/text.h"

#include <algorithm>

namespace kestrova::gui {

bool IsPictureName(std::u16string_view name) {
  static constexpr std::u16string_view kTypes[] = {u"bmp", u"jpg", u"jpeg", u"gif", u"png", u"pcx", u"tga",
                                                   u"tif", u"tiff", u"ico", u"jp2", u"j2k"};
  const auto dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) return false;
  const std::u16string_view ext = name.substr(dot + 1);
  return std::any_of(std::begin(kTypes), std::end(kTypes),
                     [&](std::u16string_view t) { return CompareNoCase(ext, t) == 0; });
}

ThumbnailLoader::ThumbnailLoader(ReadRange read, QObject* parent) : QObject(parent), read_(std::move(read)) {}

ThumbnailLoader::~ThumbnailLoader() { Stop(); }

void ThumbnailLoader::Stop() {
  thread_.StopAndJoin();
  token_.Reset();
}

void ThumbnailLoader::Start(std::vector<Job> jobs, int generation) {
  Stop();
  if (jobs.empty()) return;
  thread_.Start(token_, [this, jobs = std::move(jobs), generation](WorkerToken& token) {
    for (const Job& job : jobs) {
      if (token.StopRequested()) return;
      // Empty and oversized files get no thumbnail; a damaged picture simply fails to decode.
      if (job.size == 0 || job.size > kMaxBytes) continue;
      const std::vector<std::uint8_t> bytes = read_(job.entry, 0, job.size);
      if (bytes.empty() || token.StopRequested()) continue;
      QImage image;
      if (!image.loadFromData(bytes.data(), static_cast<int>(bytes.size()))) continue;
      emit Decoded(generation, job.key,
                   image.scaled(kSide, kSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
  });
}

}  // namespace kestrova::gui
