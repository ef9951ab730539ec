#!/usr/bin/env bash
# Benchmark (not a test) of the station window: pellory.exe st:+ sim:+ under Wine and Xvfb, eight simulated
# loggers paced like the real line at 9600 baud, driven as an operator would (Start, Yes) until every run
# has ended. Prints the wall time against one run's wire-time limit and the window process's own CPU share
# of one core. About 2.5 minutes.
#
#   tools/bench-station-window.sh [windows build dir]     default: build/win (MinGW toolchain, Release)
#
# It builds pellory, the pellory-cli.exe beside it and pellory_shotdriver there, uses a Wine prefix of its
# own there, and installs what is missing with apt-get first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-$root/build/win}

packages=(wine wine64 xvfb xauth cmake ninja-build g++-mingw-w64-x86-64-posix)
bash tools/install-missing.sh "${packages[@]}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -j"${JOBS:-2}" --target pellory pellory_cli_beside pellory_shotdriver

export WINEPREFIX=$build/bench-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export EXE=$build/app/pellory.exe DRIVER=$build/tests/gui/pellory_shotdriver.exe
export LOGS=$build/bench-station-logs
rm -rf "$LOGS"
mkdir -p "$LOGS"
xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
  set -euo pipefail
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p
  trap "wineserver -k || true" EXIT
  wineboot </dev/null >/dev/null 2>&1
  drive() { wine "$DRIVER" "$@"; }

  wine "$EXE" st:+ sim:+ "log:$(winepath -w "$LOGS")" &
  program=$!
  drive wait "Pellory station" 60
  # The process started above runs the window (wine replaces itself with the program); its CPU time is
  # the window'"'"'s own: the runs are processes of their own, the Wine server another.
  pid=$program
  [ "$(cat /proc/$pid/comm)" = pellory.exe ] || { echo "cannot find the window process"; exit 1; }
  cpu() { awk "{ print \$14 + \$15 }" "/proc/$pid/stat"; }
  ticks=$(getconf CLK_TCK)
  load=$(cut -d" " -f1-3 /proc/loadavg)
  cpu0=$(cpu)
  t0=$(date +%s.%N)
  wall=$(drive station "Pellory station" 8 600)
  t1=$(date +%s.%N)
  cpu1=$(cpu)
  drive close "Pellory station"
  wait "$program" || true

  # Image 3 at 9600 baud: 7039 answered exchanges of 16 bytes, 3 write-only frames of 8, 10 bits a byte,
  # and the fixed pauses of 4.7 s (as pellory-bench counts them).
  limit=$(awk "BEGIN { printf \"%.2f\", 7039 * 16 * 10 / 9600 + 3 * 8 * 10 / 9600 + 4.7 }")
  completed=$(grep -c ",completed," "$LOGS/summary.csv" || true)
  slowest=$(awk -F, "NR > 1 && \$4 + 0 > m { m = \$4 + 0 } END { print m }" "$LOGS/summary.csv")
  awk -v wall="$wall" -v limit="$limit" -v cpu="$((cpu1 - cpu0))" -v ticks="$ticks" \
      -v span="$(awk "BEGIN { print $t1 - $t0 }")" -v completed="$completed" -v slowest="$slowest" \
      -v load="$load" "BEGIN {
    printf \"runs completed:                 %d of 8\n\", completed
    printf \"wall time, Yes to the last end: %.1f s\n\", wall
    printf \"slowest run (summary):          %.1f s\n\", slowest
    printf \"one run'"'"'s wire-time limit:       %.1f s\n\", limit
    printf \"wall / limit:                   %.3f\n\", wall / limit
    printf \"window process CPU:             %.2f s over %.1f s = %.2f %% of one core\n\", cpu / ticks, span, 100 * cpu / ticks / span
    printf \"load average before:            %s\n\", load
  }"
'
