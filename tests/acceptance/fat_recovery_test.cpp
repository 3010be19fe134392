// Recovery of the FAT, exFAT and NTFS fixtures: every file whose data is intact
// (on FAT and exFAT: stored in one run; on NTFS also fragmented, resident,
// sparse or compressed) is copied out byte-exact (sha256 of the manifest),
// deleted or not.
// The Sleuth Kit's tsk_recover -e, where installed, gets no more of them.
#include "support/cli_run.h"
#include "support/fixtures.h"
#include "support/listing_match.h"
#include "support/sha256.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::Json;

bool Eligible(const Json& f, bool ntfs) {
  if (f.Has("entry") && f["entry"].s == "reused") return false;
  const std::string& path = f["path"].s;
  if (path.find(':', path.rfind('/') + 1) != std::string::npos) return false;  // a named stream
  return f["data"].s == "intact" && (ntfs || f["runs"].a.size() == 1);
}

TEST(FatRecovery, IntactFilesOfTheFixturesAreRecoveredByteExact) {
  SKIP_WITHOUT_FIXTURES();
  const bool haveTsk = std::system("command -v tsk_recover >/dev/null 2>&1") == 0;
  int volumes = 0;
  test::ForEachFixture([&](const Json& m, const std::string& image) {
    if (m["scheme"].s != "none" || m["partitions"].a.empty()) return;
    const std::string fsName = m["partitions"].a[0]["fs"].s;
    const bool ntfs = fsName == "NTFS";
    if (fsName.rfind("FAT", 0) != 0 && fsName != "exFAT" && !ntfs) return;
    ++volumes;
    const fs::path out = fs::temp_directory_path() / ("kestrova-fxrec-" + std::to_string(::getpid()) + "-" + m["name"].s);
    fs::remove_all(out);
    const test::CliRun run = test::Cli("recover " + test::Quoted(image) + " --to " + test::Quoted((out / "ours").string()) +
                                       " -r --json");
    ASSERT_EQ(run.code, 0);
    const Json report = Json::Parse(run.out);
    // The report's sources are the listed paths: match them like the listing.
    Json sources;
    sources.kind = Json::Array;
    for (const Json& f : report["files"].a) {
      Json row;
      row.kind = Json::Object;
      row.o["path"] = f["source"];
      row.o["output"] = f["output"];
      Json folder;
      folder.kind = Json::Bool;
      row.o["folder"] = folder;
      sources.a.push_back(row);
    }
    if (haveTsk) {
      const std::string cmd = "tsk_recover -e " + test::Quoted(image) + " " + test::Quoted((out / "tsk").string()) +
                              " >/dev/null 2>&1";
      // It may fail outright (a wiped boot sector): then it recovered nothing.
      (void)std::system(cmd.c_str());
    }
    int eligible = 0, ours = 0, tsk = 0;
    for (const Json& f : m["files"].a) {
      if (!Eligible(f, ntfs)) continue;
      ++eligible;
      SCOPED_TRACE(f["path"].s);
      const Json* row = test::FindListed(sources, f["path"].s);
      if (row && test::Sha256Of((*row)["output"].s) == f["sha256"].s) {
        ++ours;
      } else {
        ADD_FAILURE() << "not recovered byte-exact";
      }
      if (haveTsk) {
        std::string alt = f["path"].s;
        alt[alt.rfind('/') + 1] = '_';
        for (const std::string& p : {f["path"].s, alt}) {
          if (test::Sha256Of((out / "tsk").string() + p) == f["sha256"].s) {
            ++tsk;
            break;
          }
        }
      }
    }
    EXPECT_EQ(ours, eligible);
    if (haveTsk) {
      EXPECT_GE(ours, tsk) << m["name"].s << ": tsk_recover " << tsk;
    }
    std::printf("%s: %d of %d intact files byte-exact (tsk_recover -e: %s)\n", m["name"].s.c_str(), ours,
                eligible, haveTsk ? std::to_string(tsk).c_str() : "not installed");
    fs::remove_all(out);
  });
  EXPECT_GT(volumes, 0);
}

}  // namespace
}  // namespace kestrova
