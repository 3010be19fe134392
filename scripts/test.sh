#!/usr/bin/env bash
# Installs what is needed, builds (warnings as errors), makes the real test
# images and runs the whole suite; then the same unit tests under ASan/UBSan,
# the threaded tests under ThreadSanitizer, and a short libFuzzer run of each
# fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

BUILD_DIR="$root/build" "$root/scripts/build.sh" -DKESTROVA_WERROR=ON -DKESTROVA_TESTS=ON
"$root/scripts/make-test-images.sh" "$root/build/test-images" >/dev/null
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")

# Sanitizer build: every test again (the command line under test is the
# sanitized one too), on the images made above.
BUILD_DIR="$root/build-asan" "$root/scripts/build.sh" -DKESTROVA_SANITIZE=ON -DKESTROVA_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug -DKESTROVA_TEST_IMAGES_DIR="$root/build/test-images"
(cd "$root/build-asan" && ctest --output-on-failure -j"$(nproc)")

# ThreadSanitizer build: the tests that run workers on real threads, and the
# MFT collection paused and stopped on its worker. A forked child that starts a
# worker (the crash report test) needs die_after_fork=0.
BUILD_DIR="$root/build-tsan" "$root/scripts/build.sh" -DKESTROVA_TSAN=ON -DKESTROVA_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
(cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1 die_after_fork=0" \
  ctest --output-on-failure -j"$(nproc)" -L threads &&
  TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -R '^NtfsCollection\.')

# libFuzzer with clang, briefly: keeps the targets building and catches shallow faults.
if command -v clang++ >/dev/null 2>&1; then
  BUILD_DIR="$root/build-fuzz" "$root/scripts/build.sh" -DCMAKE_CXX_COMPILER=clang++ -DKESTROVA_FUZZ=ON \
    -DKESTROVA_TESTS=OFF -DKESTROVA_SANITIZE=ON
  for target in "$root"/build-fuzz/fuzz/*_fuzz; do
    ASAN_OPTIONS=quarantine_size_mb=64 "$target" -max_total_time=20 -max_len=40000 -rss_limit_mb=2048 2>&1 | tail -n 2
  done
else
  echo "clang++ missing: libFuzzer run skipped" >&2
fi
