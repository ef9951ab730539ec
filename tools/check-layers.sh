#!/usr/bin/env bash
# The layers, lowest first; a file includes only its own folder and the folders of lower layers:
#   firmware < device < sim < run < station < ui | cli < app
# (ui and cli stand side by side: neither includes the other.) Tests, benchmarks and tools may include
# anything. Prints every include that breaks the order and fails; `tools/check-layers.sh ROOT` checks
# another tree (the check's own test).
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
declare -A rank=([firmware]=0 [device]=1 [sim]=2 [run]=3 [station]=4 [ui]=5 [cli]=5 [app]=6)
bad=0
for folder in "${!rank[@]}"; do
  [ -d "$root/$folder" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([a-z]+)\/.*/\1/p' <<<"${rest#*:}")
    [ -n "$target" ] && [ -n "${rank[$target]+x}" ] || continue
    if [ "$target" != "$folder" ] && [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
      echo "${file#"$root"/}:$line: $folder/ may not include $target/ (layers: firmware < device < sim < run < station < ui | cli < app)"
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][a-z]+/' "$root/$folder" \
             --include='*.h' --include='*.cpp' --include='*.rc' || true)
done
[ $bad -eq 0 ] && echo "layers: every include keeps the order"
exit $bad
