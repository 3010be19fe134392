#!/usr/bin/env bash
# Installs what is needed, builds (warnings as errors), makes the real test
# images and runs the whole suite; then the same tests under ASan/UBSan, the
# threaded tests under ThreadSanitizer, and a short libFuzzer run of each fuzz target. Ends with one verdict line.
# Expected time on two cores: first run about 25 minutes (packages, four builds);
# later runs 8-12 minutes (the fuzz runs alone take 20 s per target).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
step() { printf '\n== %s ==\n' "$*"; }
joined() { local IFS=','; echo "$*" | sed 's/,/, /g'; }
problems=()
notes=()
summary=()

# ctest's own summary, reduced to "N tests (S skipped)"; failures are collected.
run_suite() {
  local dir=$1 name=$2 log="$1/ctest-run.log" rc=0
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)") 2>&1 | tee "$log" || rc=$?
  local total skipped
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -c '(Skipped)' "$log" || true)
  if [ "$rc" -ne 0 ]; then
    problems+=("$name: $(grep -E 'tests passed, [0-9]+ tests failed' "$log" | tail -n 1)")
  fi
  summary+=("$name ${total:-?} tests (${skipped} skipped)")
}

step "1/7 Checking the Debian packages for building and testing (first run: installs them, a few minutes)"
"$root/scripts/setup.sh"

step "2/7 Building with warnings as errors into build/ (first run: 3-6 minutes on two cores)"
BUILD_DIR="$root/build" "$root/scripts/build.sh" -DKESTROVA_WERROR=ON -DKESTROVA_TESTS=ON

step "3/7 Making real test images with mkfs.*, mtools, ntfs-3g, sfdisk (about 30 s)"
"$root/scripts/make-test-images.sh" "$root/build/test-images" >/dev/null
fixtures=$(sed -n 's/^KESTROVA_FIXTURES_DIR:PATH=//p' "$root/build/CMakeCache.txt")
fixtures=${fixtures:-$root/../shared/fixtures}
if [ ! -d "$fixtures" ]; then
  note="acceptance tests SKIPPED: no shared fixtures at $fixtures (put the fixture folder there, beside the checkout, to run them)"
  echo "NOTE: $note"
  notes+=("$note")
fi

step "4/7 Running the suite: unit, integration (real images, the CLI) and acceptance (shared fixtures), about 30 s"
run_suite "$root/build" "suite"

step "5/7 Building with ASan/UBSan into build-asan/ and running every test again (first run: 5-10 minutes)"
BUILD_DIR="$root/build-asan" "$root/scripts/build.sh" -DKESTROVA_SANITIZE=ON -DKESTROVA_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug -DKESTROVA_TEST_IMAGES_DIR="$root/build/test-images"
run_suite "$root/build-asan" "ASan/UBSan"

step "6/7 Building with ThreadSanitizer into build-tsan/ and running the threaded tests (first run: 3-5 minutes)"
# The tests that run workers on real threads, and the MFT collection paused and
# stopped on its worker. A forked child that starts a worker (the crash report
# test) needs die_after_fork=0.
# Only the two test programs it runs: the desktop program and the rest are not rebuilt.
BUILD_TARGETS="thread_tests unit_tests" BUILD_DIR="$root/build-tsan" "$root/scripts/build.sh" -DKESTROVA_TSAN=ON -DKESTROVA_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
tsan_rc=0
(cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1 die_after_fork=0" \
  ctest --output-on-failure -j"$(nproc)" -L threads &&
  TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -R '^NtfsCollection\.') || tsan_rc=$?
if [ "$tsan_rc" -ne 0 ]; then problems+=("ThreadSanitizer: threaded tests failed"); else summary+=("TSan threaded tests"); fi

step "7/7 Fuzz smoke: each libFuzzer target for 20 s (keeps the targets building, catches shallow faults)"
if command -v clang++ >/dev/null 2>&1; then
  # Only the fuzz targets (and the core under them), not the front ends.
  BUILD_TARGETS=$(sed -n 's/^foreach(target \(.*\))$/\1/p' "$root/fuzz/CMakeLists.txt") \
  BUILD_DIR="$root/build-fuzz" "$root/scripts/build.sh" -DCMAKE_CXX_COMPILER=clang++ -DKESTROVA_FUZZ=ON \
    -DKESTROVA_TESTS=OFF -DKESTROVA_SANITIZE=ON
  # Each target starts from its smoke inputs (the crafted cases among them). A
  # memory limit and a per-input time limit make a boot sector whose sizes
  # drive an allocation or a loop beyond the volume fail the run.
  targets=0
  for target in "$root"/build-fuzz/fuzz/*_fuzz; do
    name=$(basename "$target")
    log="$root/build-fuzz/$name.log"
    corpus=$(mktemp -d)
    smoke="$root/build/tests/${name}_smoke"
    [ -x "$smoke" ] && "$smoke" --seeds "$corpus" >/dev/null 2>&1
    if ASAN_OPTIONS=quarantine_size_mb=64 "$target" "$corpus" -max_total_time=20 -max_len=70000 -rss_limit_mb=2048 \
      -malloc_limit_mb=1024 -timeout=10 >"$log" 2>&1; then
      echo "$name: ok, $(grep -o 'Done [0-9]* runs' "$log" | tail -n 1 | cut -d' ' -f2) inputs tried"
    else
      echo "$name: FAILED (log: $log)"
      tail -n 20 "$log"
      problems+=("fuzz: $name failed, see $log")
    fi
    rm -rf "$corpus"
    targets=$((targets + 1))
  done
  summary+=("fuzz smoke ${targets} targets")
else
  echo "clang++ missing: libFuzzer run skipped"
  notes+=("fuzz smoke skipped: clang++ missing")
fi

echo
for n in "${notes[@]}"; do echo "NOTE: $n"; done
if [ ${#problems[@]} -eq 0 ]; then
  echo "All checks passed: $(joined "${summary[@]}")."
  exit 0
fi
echo "FAILED: $(joined "${summary[@]}"); problems:"
for p in "${problems[@]}"; do echo "  - $p"; done
exit 1
