#!/usr/bin/env bash
# The manual pages render without a warning and know every option that pellory-cli's help offers; the bash
# completion offers exactly the options each command's help offers, and completes commands and ports.
#   docs_test.sh PELLORY_CLI PACKAGING_DIR
set -uo pipefail
cli=$1 dir=$2
fail=0
bad() { echo "FAIL: $*"; fail=1; }

for page in "$dir"/*.1; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || bad "$page: $warnings"
done

commands="update info station images file-version ports latency station-setup"
for command in "" $commands; do
  # shellcheck disable=SC2086
  for option in $("$cli" $command --help 2>/dev/null | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
    grep -qF -- "${option//-/\\-}" "$dir/pellory-cli.1" || bad "pellory-cli.1 lacks $option"
  done
done

# shellcheck source=/dev/null
source "$dir/pellory-cli.bash-completion"
complete_words() {  # the command line up to the cursor, as words; prints the candidates
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _pellory_cli
  echo "${COMPREPLY[*]}"
}
expect() {  # candidates, words...
  local want=$1; shift
  local got
  got=$(complete_words "$@")
  [ "$got" = "$want" ] || bad "completing '$*': got '$got', want '$want'"
}

# Each command's options complete to exactly what its --help offers: none missing, none it would refuse.
for command in "" $commands; do
  # shellcheck disable=SC2086
  offered=$("$cli" $command --help 2>/dev/null | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u | xargs)
  # shellcheck disable=SC2086
  completed=$(complete_words pellory-cli $command -- | tr ' ' '\n' | sort -u | xargs)
  [ "$completed" = "$offered" ] || bad "completing '${command:-pellory-cli} --': got '$completed', want '$offered'"
done
expect "update" pellory-cli up
expect "file-version" pellory-cli fi
expect "--clears-measurements" pellory-cli update --cl
expect "--log-dir" pellory-cli station --log
expect "--json --help" pellory-cli ports --
expect "" pellory-cli images --j
expect "sim sim1 sim2 sim3" pellory-cli station --yes --port si
expect "sim" pellory-cli update --port si
expect "--set --json --help" pellory-cli latency /dev/ttyUSB0 --
expect "station-setup" pellory-cli station-
expect "--undo" pellory-cli station-setup --vid-pid 0403:6001 --u

exit $fail
