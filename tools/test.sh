#!/usr/bin/env bash
# Builds every flavour and runs every test: native (g++), sanitizers (ASan+UBSan, TSan), Windows
# (MinGW-w64, tests under Wine and Xvfb) and the bounded fuzz runs (clang + libFuzzer).
# On a fresh Debian 12 machine it first installs what is missing.
#
#   tools/test.sh                 everything
#   tools/test.sh native win      only the named flavours (native package asan tsan win fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
# Most tests wait on paced simulated lines rather than on the processor: more of them at once than cores.
test_jobs=${TEST_JOBS:-4}
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(native package asan tsan win fuzz)

packages=(cmake ninja-build g++ make googletest g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth clang
  libclang-rt-14-dev nlohmann-json3-dev libcli11-dev dpkg-dev lintian man-db file binutils gzip zip)
bash tools/install-missing.sh "${packages[@]}"

step() { echo; echo "== $*"; }
# Line tables are all a sanitizer's report needs; full debug information would double the compile time.
sanitizer_debug=(-DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1)
configure_build() {  # dir, cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

run_native() {
  step "native build and tests"
  # Optimised as released, with line tables only: full debug information would cost a third more compile time.
  configure_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
  ctest --test-dir build/native -j"$test_jobs" --output-on-failure --no-tests=error
}

run_package() {
  step "packages: built twice, compared byte for byte, installed, checked by lintian"
  local a=build/package-a b=build/package-bb start
  start=$(date +%s)
  # The tree as it is: uncommitted changes (never in a CI clone) give packages marked +dirty.
  rm -rf $a/out $b/out
  PELLORY_ALLOW_DIRTY=1 bash tools/package.sh $a/out $a
  # The second build starts later, in a folder whose path differs even in length.
  sleep 2
  PELLORY_ALLOW_DIRTY=1 bash tools/package.sh $b/out $b
  local deb zip
  deb=$(cd $a/out && ls *.deb) zip=$(cd $a/out && ls *.zip)
  cmp $a/out/"$deb" $b/out/"$deb"
  cmp $a/out/"$zip" $b/out/"$zip"
  for exe in app/pellory.exe cli/pellory-cli.exe; do cmp $a/win/$exe $b/win/$exe; done
  echo "identical: $deb $zip pellory.exe pellory-cli.exe"
  local size
  size=$(stat -c %s $a/win/app/pellory.exe)
  echo "pellory.exe: $size bytes"
  [ "$size" -le 1048576 ] || { echo "pellory.exe is larger than 1 MB"; return 1; }

  # Installed as a user would; man pages included even where dpkg is told to leave them out.
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo dpkg --path-include='/usr/share/man/man1/pellory-*' -i $a/out/"$deb"
  trap "$sudo dpkg -r pellory >/dev/null || true" EXIT
  /usr/bin/pellory-cli --version
  man -w pellory-cli pellory-sim
  local report
  report=$(lintian --tag-display-limit 0 $a/out/"$deb" 2>&1 || true)
  [ -z "$report" ] || echo "$report"
  if grep -q '^E:' <<<"$report"; then echo "lintian reports errors"; return 1; fi
  $sudo dpkg -r pellory
  trap - EXIT
  [ ! -e /usr/bin/pellory-cli ] || { echo "pellory-cli left behind after removal"; return 1; }
  echo "package flavour: $(($(date +%s) - start)) s"
}

run_asan() {
  step "ASan + UBSan build and tests"
  configure_build build/asan -DCMAKE_BUILD_TYPE=Debug "${sanitizer_debug[@]}" -DPELLORY_SANITIZE=ON
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j"$test_jobs" --output-on-failure --no-tests=error
}

run_tsan() {
  step "TSan build and tests (workers on threads, events read on another)"
  configure_build build/tsan -DCMAKE_BUILD_TYPE=Debug "${sanitizer_debug[@]}" -DPELLORY_TSAN=ON
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan -j"$test_jobs" --output-on-failure --no-tests=error -LE soak-long
}

run_win() {
  step "Windows build (MinGW-w64) and tests under Wine"
  # The tests' build is lightly optimised, a third quicker to compile; the released programs are built, with the
  # same warnings as errors, by the package flavour.
  configure_build build/win -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" \
    "-DCMAKE_C_FLAGS_RELEASE=-O1 -DNDEBUG" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  # The programs must need no DLL beyond Windows' own.
  local bad=0
  for exe in $(find build/win -name '*.exe' -not -path '*/googletest/*' -not -path '*/drive_c/*'); do
    local dlls
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
      grep -vxE 'kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|advapi32.dll|shell32.dll|ole32.dll|msvcrt.dll|setupapi.dll|ws2_32.dll|uxtheme.dll|shlwapi.dll|version.dll|api-ms-win-.*' || true)
    if [ -n "$dlls" ]; then echo "$exe needs: $dlls"; bad=1; fi
  done
  [ $bad -eq 0 ] || { echo "Windows binaries depend on non-system DLLs"; return 1; }
  export WINEPREFIX="$root/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
    set -e
    [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
    # One server for the whole run, so each Wine process starts quickly; the one wineboot left behind
    # must be gone first, or the persistent one refuses to start.
    wineserver -w
    wineserver -p
    trap "wineserver -k || true" EXIT
    # Start the background services of Wine now, with their output elsewhere: started by the first test they
    # would inherit its output pipe, and ctest would wait for them until the test times out.
    wineboot </dev/null >/dev/null 2>&1
    ctest --test-dir build/win -j2 --output-on-failure --no-tests=error'
}

run_fuzz() {
  if [ ! -d tests/fuzz ]; then step "fuzz: no targets yet"; return 0; fi
  step "fuzz targets (clang, libFuzzer), ${FUZZ_SECONDS:-15} s each"
  # Only the fuzz targets: the programs are built and tested by the other flavours.
  local targets
  targets=$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
  cmake -S "$root" -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DPELLORY_FUZZ=ON -DPELLORY_TESTS=OFF >/dev/null
  # shellcheck disable=SC2086
  cmake --build build/fuzz -j"$jobs" --target $targets
  # Each target runs on one core: as many at once as there are jobs.
  local target name running=0 failed=0
  for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    mkdir -p "build/fuzz/work/$name"
    rm -f "build/fuzz/work/$name.log"
    "$target" -max_total_time="${FUZZ_SECONDS:-15}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/work/$name/" "build/fuzz/work/$name" "$root/tests/fuzz/corpus/${name#fuzz_}" \
      >"build/fuzz/work/$name.log" 2>&1 &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
  done
  wait || true
  for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    local work="build/fuzz/work/$name"
    echo "-- $name"
    grep -E '^(stat::number_of_executed_units|stat::peak_rss|#[0-9]+[[:space:]]+DONE|==[0-9]+==ERROR|SUMMARY)' \
      "$work.log" || true
    if ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* >/dev/null 2>&1; then
      echo "$name found a failing input: $(ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* 2>/dev/null)"
      failed=1
    fi
  done
  return $failed
}

for f in "${flavours[@]}"; do
  started=$SECONDS
  case $f in
    native) run_native ;;
    package) run_package ;;
    asan) run_asan ;;
    tsan) run_tsan ;;
    win) run_win ;;
    fuzz) run_fuzz ;;
    *) echo "unknown flavour $f"; exit 2 ;;
  esac
  echo "== $f: $((SECONDS - started)) s"
done
echo
echo "== all requested flavours passed: ${flavours[*]}"
