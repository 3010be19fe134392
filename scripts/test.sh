#!/usr/bin/env bash
# Installs what is needed, builds (warnings as errors), makes the real test
# images and runs the whole suite; then the same unit tests under ASan/UBSan,
# and a short libFuzzer run of each fuzz target.
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

# libFuzzer with clang, briefly: keeps the targets building and catches shallow faults.
if command -v clang++ >/dev/null 2>&1; then
  BUILD_DIR="$root/build-fuzz" "$root/scripts/build.sh" -DCMAKE_CXX_COMPILER=clang++ -DKESTROVA_FUZZ=ON \
    -DKESTROVA_TESTS=OFF -DKESTROVA_SANITIZE=ON
  # Each target starts from its smoke inputs (the crafted cases among them). A
  # memory limit and a per-input time limit make a boot sector whose sizes
  # drive an allocation or a loop beyond the volume fail the run.
  for target in "$root"/build-fuzz/fuzz/*_fuzz; do
    corpus=$(mktemp -d)
    smoke="$root/build/tests/$(basename "$target")_smoke"
    [ -x "$smoke" ] && "$smoke" --seeds "$corpus"
    ASAN_OPTIONS=quarantine_size_mb=64 "$target" "$corpus" -max_total_time=20 -max_len=70000 -rss_limit_mb=2048 \
      -malloc_limit_mb=1024 -timeout=10 2>&1 | tail -n 2
    rm -rf "$corpus"
  done
else
  echo "clang++ missing: libFuzzer run skipped" >&2
fi
