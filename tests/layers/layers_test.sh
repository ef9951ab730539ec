#!/usr/bin/env bash
# The layer check itself: it passes a tree that keeps the order and names every include that breaks it.
set -euo pipefail
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{firmware,device,run,station,ui,cli,app}
printf '#include "firmware/uFlash.h"\n#include <string>\n' >"$tree/device/a.cpp"
printf '#include "run/uRunControl.h"\n#include "station/uText.h"\n' >"$tree/station/b.cpp"
printf '#include "station/uStation.h"\n' >"$tree/ui/c_win32.cpp"
printf '#include "ui/uStation_win32.h"\n' >"$tree/app/d.cpp"
bash "$check" "$tree" >/dev/null || { echo "a tree in order was refused"; exit 1; }

printf '  #  include "ui/uStationBoard.h"\n' >>"$tree/station/b.cpp"
printf '#include "cli/uCliIo.h"\n' >"$tree/ui/e.h"
printf '#include <station/uText.h>\n' >"$tree/run/f.cpp"
if out=$(bash "$check" "$tree"); then echo "upward includes passed"; exit 1; fi
for want in "station/b.cpp:3: station/ may not include ui/" "ui/e.h:1: ui/ may not include cli/" \
  "run/f.cpp:1: run/ may not include station/"; do
  grep -qF "$want" <<<"$out" || { echo "not reported: $want"; echo "$out"; exit 1; }
done
[ "$(wc -l <<<"$out")" -eq 3 ] || { echo "more than the three were reported:"; echo "$out"; exit 1; }
echo "the layer check passes the order and names each of the three upward includes"
