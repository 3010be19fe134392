// Scan sessions over real images: what a session saved from one volume
// session loads back in another, record by record; the drive check; the
// overwrite protection; a damaged file that leaves the shown results alone.
#include "explore/scan_session.h"

#include "scanner/scan_resume.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

fs::path TempDir() {
  const fs::path dir = fs::temp_directory_path() / ("kestrova-session-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

std::vector<std::string> Images() {
  std::vector<std::string> found;
  for (const char* name : {"ntfs-files", "fat32", "fat16", "exfat-files", "fat12", "ntfs4k-disk"}) {
    const fs::path p = fs::path(KESTROVA_TEST_IMAGES_DIR) / (std::string(name) + ".img");
    if (fs::exists(p)) found.push_back(p.string());
  }
  return found;
}

bool MountFirst(VolumeSession& session, const std::string& image) {
  if (session.OpenSource(image) != SessionStatus::Ok || session.rows().empty()) return false;
  return session.MountRow(0) == SessionStatus::Ok;
}

// Every record equal byte for byte except the name handle, every name equal.
void ExpectSameList(const EntryList& a, const EntryList& b, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ScanEntry x = a.at(i), y = b.at(i);
    const std::u16string* nx = a.NameOf(x);
    const std::u16string* ny = b.NameOf(y);
    ASSERT_EQ(nx == nullptr, ny == nullptr) << i;
    if (nx) {
      ASSERT_EQ(*nx, *ny) << i;
    }
    x.name = y.name = 0;
    ASSERT_EQ(std::memcmp(&x, &y, sizeof x), 0) << i;
  }
}

std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

class ScanSessionTest : public ::testing::Test {
 protected:
  fs::path dir = TempDir();
  void TearDown() override { fs::remove_all(dir); }
};

TEST_F(ScanSessionTest, RoundTripOnRealImagesIsRecordForRecord) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  for (const std::string& image : images) {
    SCOPED_TRACE(image);
    test::RecordingUi ui;
    VolumeSession first(ui);
    ASSERT_TRUE(MountFirst(first, image));
    WorkerToken token;
    first.CollectMft(token);  // NTFS: every record with its name in the lost-files list
    // Something in every list, as a scan would leave it.
    ScanEntry raw = MakeScanEntry();
    raw.name = kGeneratedName;
    raw.SetKind(EntryKind::Raw);
    raw.SetRaw(7, 3);
    first.lists().raw.Add(raw);
    const std::u16string named = u"Ordner \u00e4\u00f6\u00fc \u65e5\u672c";
    first.lists().rebuild.Add(MakeScanEntry(), &named);
    first.lists().AddNote(DeletedEntryNote{5, 0, 9, 64, 2});
    if (AllocationMap* map = first.allocationMap()) map->Mark(11, cluster_mark::kFoundStart);
    first.sessionTrailer().scan.cluster = 321;
    const std::string file = (dir / "round.kvs").string();
    session::SessionHistories histories;
    histories.savePaths = {u"/srv/recovered"};
    const auto saved = SaveScanSession(first, file, histories);
    ASSERT_TRUE(saved.ok()) << saved.detail;

    test::RecordingUi ui2;
    VolumeSession second(ui2);
    session::SessionHistories loadedHistories;
    const auto loaded = LoadScanSession(second, file, {}, &loadedHistories);
    ASSERT_TRUE(loaded.ok()) << loaded.detail;
    ASSERT_TRUE(second.mounted());
    EXPECT_EQ(second.sourcePath(), fs::canonical(image).string());
    EXPECT_EQ(+second.mountedEntry().start, +first.mountedEntry().start);
    ExpectSameList(first.lists().lost, second.lists().lost, "lost");
    ExpectSameList(first.lists().raw, second.lists().raw, "raw");
    ExpectSameList(first.lists().rebuild, second.lists().rebuild, "rebuild");
    EXPECT_EQ(Bytes(first.lists().deleted.bytes()), Bytes(second.lists().deleted.bytes()));
    ASSERT_EQ(first.allocationMap() == nullptr, second.allocationMap() == nullptr);
    if (first.allocationMap()) {
      EXPECT_EQ(Bytes(first.allocationMap()->bytes()), Bytes(second.allocationMap()->bytes()));
    }
    EXPECT_EQ(loadedHistories.savePaths, histories.savePaths);
    EXPECT_EQ(+second.sessionTrailer().scan.cluster, 321u);
  }
}

// The texts searched are kept by the volume session; a save takes them and a
// load brings them back (also across a resumed save), a failed load leaves them.
TEST_F(ScanSessionTest, HistoriesOfTheSessionRoundTrip) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  test::RecordingUi ui;
  VolumeSession first(ui);
  ASSERT_TRUE(MountFirst(first, images.front()));
  using H = VolumeSession::History;
  EXPECT_TRUE(first.AddToHistory(H::MainSearch, u"report"));
  EXPECT_TRUE(first.AddToHistory(H::MainSearch, u"Fotos \u00e4"));
  EXPECT_FALSE(first.AddToHistory(H::MainSearch, u"report")) << "listed already";
  EXPECT_TRUE(first.AddToHistory(H::AdvancedSearch, u"4D5A"));
  EXPECT_TRUE(first.AddToHistory(H::SavePaths, u"/srv/out"));
  const std::uint64_t generation = first.historiesGeneration();
  const session::SessionHistories expected{{u"Fotos \u00e4", u"report"}, {u"4D5A"}, {u"/srv/out"}};
  EXPECT_EQ(first.Histories(), expected);
  const std::string file = (dir / "histories.kvs").string();
  ASSERT_TRUE(SaveScanSession(first, file).ok());

  test::RecordingUi ui2;
  VolumeSession second(ui2);
  ASSERT_TRUE(LoadScanSession(second, file).ok());
  EXPECT_EQ(second.Histories(), expected);
  EXPECT_GT(second.historiesGeneration(), 0u) << "a window sees the change";
  // Saved again from the loaded session (as a resumed scan saves): still there.
  ASSERT_TRUE(SaveScanSession(second, file).ok());
  VolumeSession third(ui2);
  ASSERT_TRUE(LoadScanSession(third, file).ok());
  EXPECT_EQ(third.Histories(), expected);
  // A file that does not load leaves the histories as they were.
  std::ofstream(dir / "junk.kvs") << "junk";
  EXPECT_FALSE(LoadIntoMounted(first, (dir / "junk.kvs").string()).ok());
  EXPECT_EQ(first.Histories(), expected);
  EXPECT_EQ(first.historiesGeneration(), generation);
}

TEST_F(ScanSessionTest, DamagedFileLeavesTheShownResultsAlone) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_TRUE(MountFirst(session, images.front()));
  const std::u16string name = u"keep me";
  for (int i = 0; i < 30; ++i) session.lists().lost.Add(MakeScanEntry(), &name);
  const std::string file = (dir / "good.kvs").string();
  ASSERT_TRUE(SaveScanSession(session, file).ok());
  // Cut one byte out of the blocks: the trailer stays, the blocks lie.
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bytes.erase(bytes.begin() + 10);
  const std::string bad = (dir / "bad.kvs").string();
  std::ofstream(bad, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  session.lists().lost.Add(MakeScanEntry(), &name);  // shown now: 31
  const auto r = LoadIntoMounted(session, bad);
  EXPECT_EQ(r.status, ScanSessionStatus::Invalid);
  EXPECT_EQ(session.lists().lost.size(), 31u);
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(ui.boxes.back().text, "This session file is invalid or not compatible, choose another!");
  // Not a session at all.
  const std::string text = (dir / "notes.kvs").string();
  std::ofstream(text) << "hello";
  EXPECT_EQ(LoadScanSession(session, text).status, ScanSessionStatus::Invalid);
  EXPECT_EQ(session.lists().lost.size(), 31u);
}

TEST_F(ScanSessionTest, DriveCheckFindsTheImageOrSaysWhatIsMissing) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  const fs::path copy = dir / "moved.img";
  fs::copy_file(images.front(), copy);
  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_TRUE(MountFirst(session, copy.string()));
  const std::string file = (dir / "drive.kvs").string();
  ASSERT_TRUE(SaveScanSession(session, file).ok());
  SessionDrive drive;
  ASSERT_TRUE(FindSessionDrive(file, ui, drive).ok());
  EXPECT_TRUE(drive.image);
  EXPECT_EQ(drive.sourcePath, fs::canonical(copy).string());
  // The image moved away: no drive has its name, and the message names it.
  fs::rename(copy, dir / "elsewhere.img");
  SystemPaths nowhere;
  nowhere.sysBlock = (dir / "no-sys").string();
  nowhere.sysClassBlock = nowhere.sysBlock;
  nowhere.probeLabels = false;
  test::RecordingUi ui2;
  const auto r = FindSessionDrive(file, ui2, drive, nowhere);
  EXPECT_EQ(r.status, ScanSessionStatus::DriveNotFound);
  ASSERT_FALSE(ui2.boxes.empty());
  EXPECT_NE(ui2.boxes.back().text.find("Missing disk: " + fs::canonical(dir).string() + "/moved.img"),
            std::string::npos);
  EXPECT_EQ(ui2.boxes.back().caption, "Kestrova-z");
  // --device: the user names the image instead.
  test::RecordingUi ui3;
  VolumeSession other(ui3);
  LoadScanOptions options;
  options.source = (dir / "elsewhere.img").string();
  EXPECT_TRUE(LoadScanSession(other, file, options).ok());
}

TEST_F(ScanSessionTest, SavingOntoTheScannedImageIsRefusedBeforeAnyFile) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  const fs::path copy = dir / "scanned.img";
  fs::copy_file(images.front(), copy);
  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_TRUE(MountFirst(session, copy.string()));
  const auto before = fs::last_write_time(copy);
  const auto r = SaveScanSession(session, copy.string());
  EXPECT_EQ(r.status, ScanSessionStatus::OnSource);
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(ui.boxes.back().text, "You're  trying to write file on opened disk - action halted!");
  EXPECT_EQ(ui.boxes.back().caption, "Kestrova - overwrite protection");
  EXPECT_EQ(fs::last_write_time(copy), before);
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

}  // namespace
}  // namespace kestrova

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>

namespace kestrova {
namespace {

// Loads a session into a fresh volume session (another process's view).
std::unique_ptr<VolumeSession> Loaded(test::RecordingUi& ui, const std::string& file) {
  auto session = std::make_unique<VolumeSession>(ui);
  const auto r = LoadScanSession(*session, file);
  EXPECT_TRUE(r.ok()) << file << ": " << r.detail;
  return session;
}

void ExpectSameResults(VolumeSession& a, VolumeSession& b) {
  ExpectSameList(a.lists().lost, b.lists().lost, "lost");
  ExpectSameList(a.lists().raw, b.lists().raw, "raw");
  ExpectSameList(a.lists().rebuild, b.lists().rebuild, "rebuild");
  EXPECT_EQ(Bytes(a.lists().deleted.bytes()), Bytes(b.lists().deleted.bytes()));
  if (a.allocationMap() && b.allocationMap()) {
    EXPECT_EQ(Bytes(a.allocationMap()->bytes()), Bytes(b.allocationMap()->bytes()));
  }
}

int RunCli(const std::string& args, const char* delayMs = nullptr) {
  std::string command;
  if (delayMs) command = std::string("KESTROVA_TEST_SCAN_DELAY_MS=") + delayMs + " ";
  command += std::string(KESTROVA_CLI) + " " + args + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs kestrova-cli scan with a checkpoint taken where the scan stands after
// the block that takes it past `holdSector` (the scan holds there for the
// save), then the process dies as under kill -9 right after that save. True
// when it was killed; false when the scan never got past the sector.
bool ScanKilledAfterCheckpoint(const std::string& image, const std::string& session, std::uint64_t holdSector) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const std::string hold = std::to_string(holdSector);
    ::setenv("KESTROVA_TEST_HOLD_AT_SECTOR", hold.c_str(), 1);
    ::setenv("KESTROVA_TEST_KILL_AFTER_CHECKPOINT", "1", 1);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(KESTROVA_CLI, KESTROVA_CLI, "scan", image.c_str(), "--session", session.c_str(), "--checkpoint-every", "1",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) {
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    return true;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return false;
}

// Copies of real images with what a scan carries across blocks at a known
// place: FILE records in the free space of the NTFS volume's last MiBs (each
// MiB has some, so they wait for their merge block after block), and two PSD
// headers in the FAT32 volume's free end (a PSD is sized by the next header,
// so the first stays open for four MiB).
struct HeldCase {
  std::string image;
  std::uint64_t holdSector;
  bool rawOpen;   // a RAW file is open at the checkpoint
  bool ntfsBatch; // NTFS records wait for their merge at the checkpoint
};

std::vector<HeldCase> CraftHeldImages(const fs::path& dir) {
  std::vector<HeldCase> cases;
  auto read = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const fs::path images(KESTROVA_TEST_IMAGES_DIR);
  constexpr std::size_t kMiB = 1 << 20;
  if (fs::exists(images / "ntfs-files.img")) {
    std::vector<char> img = read(images / "ntfs-files.img");
    std::size_t mft = 0;  // the first FILE record: the MFT
    while (mft + 4 <= img.size() && std::memcmp(img.data() + mft, "FILE", 4) != 0) mft += 1024;
    const std::size_t base = img.size() - 8 * kMiB;
    if (mft + 80 * 1024 <= img.size() && base > mft) {
      for (std::size_t k = 0; k < 4; ++k)
        for (std::size_t j = 0; j < 3; ++j)
          std::memcpy(img.data() + base + k * kMiB + j * 65536, img.data() + mft + (64 + k * 3 + j) * 1024, 1024);
      const fs::path out = dir / "ntfs-records.img";
      std::ofstream(out, std::ios::binary).write(img.data(), static_cast<std::streamsize>(img.size()));
      cases.push_back({out.string(), (base + 3 * kMiB / 2) / 512, false, true});
    }
  }
  if (fs::exists(images / "fat32.img")) {
    std::vector<char> img = read(images / "fat32.img");
    const std::size_t first = img.size() - 6 * kMiB, second = img.size() - 2 * kMiB + 7 * 512;
    std::memcpy(img.data() + first, "8BPS", 4);
    std::memcpy(img.data() + second, "8BPS", 4);
    const fs::path out = dir / "fat32-psd.img";
    std::ofstream(out, std::ios::binary).write(img.data(), static_cast<std::streamsize>(img.size()));
    cases.push_back({out.string(), first / 512, true, false});
  }
  return cases;
}

// A scan saved part way by its checkpoint, killed with SIGKILL, and resumed
// from the session ends with the results of one uninterrupted scan: what the
// scan held in memory at the checkpoint (a RAW file still open, NTFS records
// not yet merged) is in the session too. The real images are interrupted
// after their first block and half way; the crafted ones where they hold something.
TEST_F(ScanSessionTest, ScanKilledAfterACheckpointResumesToTheSameResults) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  std::vector<HeldCase> cases;
  for (const std::string& image : images) {
    const std::uint64_t sectors = fs::file_size(image) / 512;
    cases.push_back({image, 0, false, false});
    cases.push_back({image, sectors / 2, false, false});
  }
  const auto crafted = CraftHeldImages(dir);
  ASSERT_EQ(crafted.size(), 2u) << "ntfs-files.img and fat32.img are needed";
  cases.insert(cases.end(), crafted.begin(), crafted.end());
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(c.image + " held past sector " + std::to_string(c.holdSector));
    const std::string reference = (dir / "reference.kvs").string();
    ASSERT_EQ(RunCli("scan " + c.image + " --session " + reference), 0);
    const std::string part = (dir / "part.kvs").string();
    fs::remove(part);
    if (!ScanKilledAfterCheckpoint(c.image, part, c.holdSector)) {
      EXPECT_FALSE(c.rawOpen || c.ntfsBatch) << "the crafted scan never got there";
      continue;
    }
    ASSERT_TRUE(fs::exists(part)) << "no checkpoint written";
    {
      test::RecordingUi ui;
      auto interrupted = Loaded(ui, part);
      // Held after its last block: the scan ended before the save.
      if (interrupted->sessionTrailer().scanComplete != 0) continue;
      ScanPendingState state;
      if (!interrupted->lastScanState().empty()) {
        ASSERT_TRUE(DecodeScanState(interrupted->lastScanState(), state));
      }
      if (c.rawOpen) {
        EXPECT_TRUE(state.raw.pendingOpen);
      }
      if (c.ntfsBatch) {
        EXPECT_FALSE(state.ntfsBatch.empty());
      }
    }
    ASSERT_EQ(RunCli("scan --resume " + part), 0);
    test::RecordingUi ui1, ui2;
    auto whole = Loaded(ui1, reference);
    auto resumed = Loaded(ui2, part);
    EXPECT_NE(resumed->sessionTrailer().scanComplete, 0u);
    ExpectSameResults(*whole, *resumed);
  }
}

// A session saved while the scan was paused resumes paused; let go, it ends
// with the results of one uninterrupted scan.
TEST_F(ScanSessionTest, ScanSavedWhilePausedResumesPausedToTheSameResults) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  const std::string image = images.front();
  test::RecordingUi ui0;
  VolumeSession whole(ui0);
  ASSERT_TRUE(MountFirst(whole, image));
  {
    auto scan = whole.StartScan(ScanOptions{});
    ASSERT_TRUE(scan);
    scan->Wait();
  }

  const std::string file = (dir / "paused.kvs").string();
  {
    test::RecordingUi ui;
    VolumeSession first(ui);
    ASSERT_TRUE(MountFirst(first, image));
    auto scan = first.StartScan(ScanOptions{});
    ASSERT_TRUE(scan);
    scan->Pause();
    first.scanFlags().token.WaitUntilParked();
    ASSERT_TRUE(SaveScanSession(first, file).ok());
    EXPECT_TRUE(first.scanFlags().token.Paused());  // a save leaves a paused scan paused
    scan->AbortWhilePaused();
    scan->Wait();
  }
  // The command line cannot un-pause a scan: it lets the resumed scan go on.
  const std::string copy = (dir / "paused-cli.kvs").string();
  fs::copy_file(file, copy);
  ASSERT_EQ(std::system(("timeout 120 " + std::string(KESTROVA_CLI) + " scan --resume " + copy + " >/dev/null 2>&1").c_str()), 0);
  {
    test::RecordingUi uiCli;
    auto cli = Loaded(uiCli, copy);
    EXPECT_NE(cli->sessionTrailer().scanComplete, 0u);
    ExpectSameResults(whole, *cli);
  }

  test::RecordingUi ui;
  auto resumed = Loaded(ui, file);
  EXPECT_EQ(+resumed->sessionTrailer().paused, 1u);
  auto scan = ResumeScan(*resumed);
  ASSERT_TRUE(scan);
  resumed->scanFlags().token.WaitUntilParked();
  EXPECT_TRUE(resumed->scanFlags().token.Paused());
  scan->Resume();
  scan->Wait();
  scan.reset();
  ExpectSameResults(whole, *resumed);
  // Saved again, the session is complete and nothing is left to resume.
  ASSERT_TRUE(SaveScanSession(*resumed, file).ok());
  test::RecordingUi ui2;
  auto done = Loaded(ui2, file);
  EXPECT_NE(done->sessionTrailer().scanComplete, 0u);
  EXPECT_FALSE(ResumeScan(*done));
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

// The drive settings decide what a scan walks (damaged: every cluster, used
// or not). A session keeps them and a load mounts with them, so a
// damaged-mode scan saved part way and resumed in another process stays in
// damaged mode and ends as one uninterrupted damaged-mode scan.
TEST_F(ScanSessionTest, DamagedModeScanResumedKeepsDamagedMode) {
  const auto images = Images();
  if (images.empty()) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  const std::string image = images.front();
  DriveSettings damaged;
  damaged.damaged = true;
  auto mount = [&](VolumeSession& s, const DriveSettings& settings) {
    return s.OpenSource(image) == SessionStatus::Ok && !s.rows().empty() &&
           s.MountRow(0, settings) == SessionStatus::Ok;
  };
  auto wholeScan = [&](VolumeSession& s) {
    auto scan = s.StartScan(ScanOptions{});
    EXPECT_TRUE(scan);
    if (!scan) return ScanSnapshot{};
    scan->Wait();
    return scan->Snapshot();
  };
  test::RecordingUi ui0, ui1;
  VolumeSession normal(ui0), whole(ui1);
  ASSERT_TRUE(mount(normal, DriveSettings{}));
  ASSERT_TRUE(mount(whole, damaged));
  const ScanSnapshot normalEnd = wholeScan(normal);
  const ScanSnapshot damagedEnd = wholeScan(whole);
  ASSERT_GT(damagedEnd.bytesTotal, normalEnd.bytesTotal) << "the image has no used clusters to tell the modes apart";

  const std::string file = (dir / "damaged.kvs").string();
  {
    test::RecordingUi ui;
    VolumeSession first(ui);
    ASSERT_TRUE(mount(first, damaged));
    auto scan = first.StartScan(ScanOptions{});
    ASSERT_TRUE(scan);
    scan->Pause();
    first.scanFlags().token.WaitUntilParked();
    ASSERT_TRUE(SaveScanSession(first, file).ok());
    scan->AbortWhilePaused();
    scan->Wait();
  }
  test::RecordingUi ui;
  auto resumed = Loaded(ui, file);
  EXPECT_TRUE(resumed->mountSettings().damaged);
  auto scan = ResumeScan(*resumed);
  ASSERT_TRUE(scan);
  scan->Resume();
  scan->Wait();
  EXPECT_EQ(scan->Snapshot().bytesTotal, damagedEnd.bytesTotal);
  scan.reset();
  ExpectSameResults(whole, *resumed);
}

}  // namespace
}  // namespace kestrova
