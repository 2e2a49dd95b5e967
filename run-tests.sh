#!/usr/bin/env bash
# Builds both forms of qelrestore and runs every test: the unit and POSIX suites through CTest,
# then the Windows program under wine64. Installs what it needs when it is missing.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/ensure-packages.sh
ensure_packages "${POSIX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

jobs=$(nproc)
echo "== POSIX form"
cmake -S . -B build/posix -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/posix -j "$jobs"
ctest --test-dir build/posix --output-on-failure -j "$jobs"
bash tests/e2e/run_scenarios.sh posix build/posix

echo "== POSIX form, sanitized"
bash tests/sanitize/run_sanitized.sh build/sanitize

echo "== Fuzz targets, 20 s each"
bash tests/fuzz/run_fuzzers.sh 20

echo "== Windows form"
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build/windows -j "$jobs"
bash tests/wine/run_wine_tests.sh build/windows

echo "== Packages"
bash tests/package/check_packages.sh build/posix build/windows
