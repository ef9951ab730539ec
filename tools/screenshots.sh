#!/usr/bin/env bash
# Renders screenshots of pellory.exe into docs/screenshots/: under Xvfb, in a Wine virtual desktop, with
# the built-in simulated logger (option sim:+) paced like the real wire. A helper program presses the
# buttons as an operator would.
#
#   tools/screenshots.sh [windows build dir]     default: build/win (configured with the MinGW toolchain)
#   SHOTS=station tools/screenshots.sh           only the station window's (SHOTS=main: only the others)
#
# It builds pellory and pellory_shotdriver in that directory, uses a Wine prefix of its own there, and
# installs what is missing with apt-get first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-$root/build/win}
out=$root/docs/screenshots

packages=(wine wine64 fonts-wine xvfb imagemagick cmake ninja-build g++-mingw-w64-x86-64-posix)
bash tools/install-missing.sh "${packages[@]}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -j"${JOBS:-2}" --target pellory pellory_cli_beside pellory_shotdriver
exe=$build/app/pellory.exe
driver=$build/tests/gui/pellory_shotdriver.exe

export WINEPREFIX=$build/shots-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
width=1280
height=1024
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 ${width}x${height}x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display
cleanup() {
  wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1

[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true
wineserver -p 60
reg() { wine reg add "$@" /f >/dev/null 2>&1; }
# Every program of this prefix opens in one virtual desktop, so the driver sees the program's windows.
reg 'HKCU\Software\Wine\Explorer' /v Desktop /d Shots
reg 'HKCU\Software\Wine\Explorer\Desktops' /v Shots /d ${width}x${height}
# The desktop opened by the commands above may have an older size: start the server again so that the
# program's desktop takes this one.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p 60
# Debian's Wine does not find the fonts of its fonts-wine package by itself; and Windows' "Microsoft Sans
# Serif", the main window's font, is Tahoma's close cousin.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v 'Microsoft Sans Serif' /d Tahoma
# A logger adapter on COM3, as the system's serial-port map lists it.
reg 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /d COM3
# The system resolution, read by every program at its start; Wine's default is 96 dpi.
resolution() {
  if [ "$1" = 96 ]; then
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
  else
    reg 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1"
  fi
}
internal() {
  if [ "$1" = on ]; then
    reg 'HKCU\Software\Kalvenor\Quor' /v intern /t REG_DWORD /d 8147
  else
    wine reg delete 'HKCU\Software\Kalvenor\Quor' /v intern /f >/dev/null 2>&1 || true
  fi
}

drive() { wine "$driver" "$@"; }
# The whole desktop, cut down to the windows on it with a margin of its own colour.
shot() {
  sleep 1.5  # let the last repaint land
  mkdir -p "$out"
  import -window root "$out/$1.png.tmp.png"
  convert "$out/$1.png.tmp.png" -trim +repage -bordercolor "$(convert "$out/$1.png.tmp.png" -format '%[pixel:p{1,1}]' info:)" \
    -border 24 "$out/$1.png"
  rm -f "$out/$1.png.tmp.png"
  echo "   $out/$1.png"
}
program=""
start() {
  wine "$exe" "$@" &
  program=$!
  drive wait Pellory 60
}
stop() {
  drive click Pellory Close 10
  wait "$program"
}

shots=${SHOTS:-main station}
if [[ " $shots " == *" main "* ]]; then
echo "== normal mode"
resolution 96
internal off
start sim:+
shot 1-main-idle
drive click Pellory Update
drive wait Confirm
shot 2-update-question
drive click Confirm No
drive gone Confirm
drive menu Pellory 200  # Info / Firmware
drive wait Overview
shot 3-firmware-overview
drive click Overview OK
drive gone Overview
stop

echo "== internal mode, a run against the simulated logger"
internal on
start sim:+
drive wait Report
drive select Pellory sim
drive click Pellory Update
drive progress Pellory 35 180
shot 4-run-in-progress
drive wait Information 240
shot 5-update-completed
drive click Information OK
drive gone Information
stop

echo "== 144 dpi: the idle window, and a run in progress in internal mode (then cancelled)"
resolution 144
internal off
start sim:+
shot 6-main-idle-144dpi
stop
internal on
start sim:+
drive wait Report
drive select Pellory sim
drive click Pellory Update
drive progress Pellory 35 180
shot 7-run-in-progress-144dpi
drive click Pellory Cancel
drive wait Information 60
drive click Information OK
drive gone Information
stop
internal off
resolution 96
fi

if [[ " $shots " == *" station "* ]]; then
echo "== the station window (st:+) with the eight simulated loggers, at 96 and 144 dpi"
# Counters of the station window (ui/uStation_win32.h): running.
station_running=305
# A log folder as a user might choose it, in the prefix's drive C.
logs="$WINEPREFIX/drive_c/Station logs"
start_station() {  # [sim:+]
  rm -rf "$logs"
  wine "$exe" st:+ "$@" "log:C:\\Station logs" &
  program=$!
  drive wait "Pellory station" 60
}
stop_station() {
  drive close "Pellory station"
  wait "$program"
}
for dpi in 96 144; do
  suffix=""
  [ "$dpi" = 96 ] || suffix="-${dpi}dpi"
  resolution "$dpi"
  wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /f >/dev/null 2>&1 || true
  start_station sim:+
  shot "8-station-idle$suffix"
  stop_station
  # No logger port listed (Wine's COM1 is no logger adapter): the list says why and what to do.
  start_station
  shot "12-station-empty$suffix"
  stop_station
  # Every run cancelled a fifth of the way through: the rows say what the loggers need.
  start_station sim:+
  drive click "Pellory station" Start
  drive wait Confirm
  drive click Confirm Yes
  drive gone Confirm
  sleep 25
  drive click "Pellory station" Cancel
  drive wait Confirm
  drive click Confirm Yes
  drive text "Pellory station" "$station_running" 0 60
  shot "13-station-cancelled$suffix"
  stop_station
  # A ninth socket whose adapter does not answer: the one failure among the runs. Its adapter holds every
  # answer 16 ms, the driver's default: its row says so, and "Speed up adapters" sets it to 1 ms.
  reg 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /d COM9
  drive adapter COM9 16
  start_station sim:+
  drive click "Pellory station" Start
  drive wait Confirm
  drive click Confirm Yes
  sleep 45
  shot "9-station-running$suffix"
  drive text "Pellory station" "$station_running" 0 240
  shot "10-station-finished$suffix"
  drive click "Pellory station" "Speed up adapters"
  drive wait "Speed up adapters" 60
  shot "11-station-speed-up$suffix"
  drive click "Speed up adapters" Close
  drive gone "Speed up adapters"
  stop_station
  drive adapter COM9 0
done
resolution 96
reg 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /d COM3
fi
echo "== done"
