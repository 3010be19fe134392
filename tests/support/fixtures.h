// The shared fixture images: manifests, unpacked images, and a loop over them.
#pragma once

#include "support/mini_json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace kestrova::test {

namespace fixtures_fs = std::filesystem;

inline std::string Slurp(const fixtures_fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The fixtures are gzip'ed; each is unpacked once next to the build.
inline std::string Unpacked(const fixtures_fs::path& gz) {
  const fixtures_fs::path dir = fixtures_fs::path(KESTROVA_TEST_IMAGES_DIR).parent_path() / "fixtures-unpacked";
  fixtures_fs::create_directories(dir);
  const fixtures_fs::path img = dir / gz.stem();
  if (!fixtures_fs::exists(img) || fixtures_fs::last_write_time(img) < fixtures_fs::last_write_time(gz)) {
    // Tests run in parallel processes: each unpacks to its own name and renames,
    // so a reader never sees a half-written image.
    const std::string part = img.string() + ".part" + std::to_string(::getpid());
    const std::string cmd = "gzip -dc '" + gz.string() + "' > '" + part + "' && mv -f '" + part + "' '" + img.string() + "'";
    if (std::system(cmd.c_str()) != 0) return {};
  }
  return img.string();
}


// Runs body for every manifest of the fixture folder with its unpacked image.
template <typename Body>
inline void ForEachFixture(Body body) {
  const fixtures_fs::path dir = KESTROVA_FIXTURES_DIR;
  for (const auto& file : fixtures_fs::directory_iterator(dir)) {
    if (file.path().extension() != ".json") continue;
    const Json m = Json::Parse(Slurp(file.path()));
    SCOPED_TRACE(m["name"].s);
    const std::string image = Unpacked(dir / m["image"].s);
    ASSERT_FALSE(image.empty()) << "cannot unpack " << m["image"].s;
    body(m, image);
  }
}

#define SKIP_WITHOUT_FIXTURES()                                                       \
  if (!std::filesystem::exists(KESTROVA_FIXTURES_DIR))                                              \
  GTEST_SKIP() << "no fixture folder at " << KESTROVA_FIXTURES_DIR


}  // namespace kestrova::test
