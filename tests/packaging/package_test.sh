#!/usr/bin/env bash
# tools/package.sh makes packages from committed sources only: a tree with uncommitted changes, or one
# that is no git checkout and names no time, is refused before any folder is made.
#   package_test.sh PACKAGE_SH
set -uo pipefail
fail=0
bad() { echo "FAIL: $*"; fail=1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tree=$tmp/tree
mkdir -p "$tree/tools" "$tmp/caller"
cp "$1" "$tree/tools/package.sh"
git -C "$tree" init -q
git -C "$tree" add .
git -C "$tree" -c user.name=test -c user.email=test@example.org commit -qm tree
echo "not committed" >"$tree/NEW"

cd "$tmp/caller"
err=$(bash "$tree/tools/package.sh" out build 2>&1)
rc=$?
[ $rc -eq 2 ] || bad "a tree with changes: exit $rc, want 2"
[[ $err == *"uncommitted changes"*"PELLORY_ALLOW_DIRTY=1"*"?? NEW"* ]] || bad "a tree with changes: '$err'"
[ -z "$(ls -A "$tmp/caller")" ] && [ ! -e "$tree/build" ] || bad "a refused tree left folders behind"

rm -rf "$tree/.git"
err=$(env -u SOURCE_DATE_EPOCH bash "$tree/tools/package.sh" out 2>&1)
rc=$?
[ $rc -eq 2 ] && [[ $err == *"not a git checkout"* ]] || bad "no git checkout: exit $rc, '$err'"
[ -z "$(ls -A "$tmp/caller")" ] || bad "a refused tree left folders behind"
exit $fail
