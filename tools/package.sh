#!/usr/bin/env bash
# Builds the release packages, tests off: the Debian package of pellory-cli and pellory-sim (native g++)
# and the Windows .zip of pellory.exe and pellory-cli.exe (MinGW-w64). The same commit gives the same
# bytes whatever the build folder and whenever it is built: every time stamp is the commit's.
#
#   tools/package.sh OUT [BUILD]     packages into OUT, builds in BUILD (default: the repository's
#                                    build/package); OUT and BUILD are taken from the caller's folder
#
# Packages come from committed sources: a tree with uncommitted changes is refused, since its packages
# would carry the commit's version and time. PELLORY_ALLOW_DIRTY=1 builds them anyway, their version
# marked "+dirty" (pellory-cli --version, the package names and the .deb's version).
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: tools/package.sh OUT [BUILD]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd -P)

# Before anything is made: a refused tree leaves no folder behind.
suffix=""
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  changes=$(git -C "$root" status --porcelain)
  if [ -n "$changes" ]; then
    if [ "${PELLORY_ALLOW_DIRTY:-}" != 1 ]; then
      echo "tools/package.sh: the tree has uncommitted changes; commit them, or set PELLORY_ALLOW_DIRTY=1" \
        "for packages marked +dirty:" >&2
      head -n 10 <<<"$changes" >&2
      exit 2
    fi
    suffix=+dirty
  fi
elif [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  echo "tools/package.sh: not a git checkout: set SOURCE_DATE_EPOCH to the sources' time" >&2
  exit 2
fi

mkdir -p "$1" "${2:-$root/build/package}"
out=$(cd "$1" && pwd)
build=$(cd "${2:-$root/build/package}" && pwd)
cd "$root"
jobs=${JOBS:-2}
[ -z "$suffix" ] || echo "== uncommitted changes: the version is marked $suffix"

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C
umask 022

# A unity build (each library's sources compiled together): half the compile time of one file at a time.
release=(-G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DPELLORY_TESTS=OFF -DPELLORY_RELEASE=ON -DCMAKE_UNITY_BUILD=ON
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "-DPELLORY_VERSION_SUFFIX=$suffix")

build_release() {  # folder, targets..., then -- and cmake arguments
  local dir=$1; shift
  local targets=()
  while [ "$1" != -- ]; do targets+=("$1"); shift; done
  shift
  # A fresh folder each time, so nothing of an earlier build can slip into a package.
  rm -rf "$dir"
  cmake -S "$root" -B "$dir" "${release[@]}" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" --target "${targets[@]}"
}

echo "== Debian package"
build_release "$build/linux" pellory-cli pellory-sim pellory-docs --
(cd "$build/linux" && cpack -G DEB -B "$build/linux/cpack" >/dev/null)
cp "$build/linux/cpack"/*.deb "$out/"

echo "== Windows .zip"
build_release "$build/win" pellory pellory-cli -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
# zip itself rather than CPack: members sorted by name, time-stamped from the commit, no owner fields (-X).
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/win/CMakeCache.txt")
name=pellory-$version$suffix-win64
cmake --install "$build/win" --prefix "$build/win/stage/$name" >/dev/null
find "$build/win/stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
rm -f "$out/$name.zip"
(cd "$build/win/stage" && find "$name" -type f | sort | zip -X -D -9 -q "$out/$name.zip" -@)

echo "== packages in $out"
ls -l "$out"
