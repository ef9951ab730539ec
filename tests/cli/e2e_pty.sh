#!/usr/bin/env bash
# pellory-cli against pellory-sim on a pseudo-terminal, through the real termios backend.
#   e2e_pty.sh PELLORY_SIM PELLORY_CLI clean|lossy|refused|vanish|interrupt
set -u
sim=$1
cli=$2
case=$3
done_text="Update SD CARD V4.106 succesfully completed."
case $case in
  clean) sim_args=(--once); expect_rc=0; expect_last=$done_text ;;
  # Lost, cut and corrupted answers: the link's retries carry the run through.
  lossy) sim_args=(--once --random-key 7 --lost-ppm 2000 --short-ppm 1000 --bad-crc-ppm 1000)
    expect_rc=0; expect_last=$done_text ;;
  refused) sim_args=(--identity-request-status 5); expect_rc=48
    expect_last="Aborted because wrong answer from SD controller!" ;;
  # Unplugged in the middle: the port fails, the run ends with the serial error.
  vanish) sim_args=(--vanish-after 400); expect_rc=11
    expect_last="Aborted because error when reading/writing to serial port!" ;;
  # Ctrl-C as soon as the run has started: the worker's port reads are not cut short by the signal, the
  # run ends at its next frame as cancelled.
  interrupt) sim_args=(); expect_rc=20; expect_last="Process cancelled!" ;;
  *) echo "unknown case $case"; exit 2 ;;
esac

work=$(mktemp -d)
coproc SIM { exec "$sim" "${sim_args[@]}" 2>"$work/sim.err"; }
sim_pid=$SIM_PID
cleanup() {
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# The simulator's first line names its terminal.
if ! read -r -t 30 pty <&"${SIM[0]}"; then
  echo "pellory-sim gave no terminal"; cat "$work/sim.err"; exit 1
fi

if [ "$case" = interrupt ]; then
  mkfifo "$work/fifo"
  "$cli" update --port "$pty" --yes </dev/null >"$work/fifo" 2>"$work/err" &
  cli_pid=$!
  exec 3<"$work/fifo"
  IFS= read -r -t 60 first <&3
  kill -INT "$cli_pid"
  { printf '%s\n' "$first"; cat <&3; } >"$work/out"
  wait "$cli_pid"
  rc=$?
else
  timeout 240 "$cli" update --port "$pty" --yes </dev/null >"$work/out" 2>"$work/err"
  rc=$?
fi
echo "--- pellory-cli update --port $pty --yes: exit $rc"
cat "$work/out"
echo "--- stderr"
cat "$work/err"
fail=0
if [ "$rc" -ne "$expect_rc" ]; then echo "FAIL: exit $rc, expected $expect_rc"; fail=1; fi
last=$(tail -n 1 "$work/out")
if [ "$last" != "$expect_last" ]; then echo "FAIL: last line \"$last\", expected \"$expect_last\""; fail=1; fi
if [ "$(head -n 1 "$work/out")" != "$(head -n 1 "$work/out" | cut -c1-8) -> Start at serial port \"$pty\"" ]; then
  echo "FAIL: first line is not the start"; fail=1
fi
if head -n -1 "$work/out" | grep -qvE '^[0-9]{2}-[0-9]{2}-[0-9]{2} -> '; then
  echo "FAIL: a line that is not a report line"; fail=1
fi
if LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$work/out" "$work/err"; then
  echo "FAIL: control characters without a terminal"; fail=1
fi
if [ "$expect_rc" -eq 0 ] && ! grep -q -- '-> Progress 98%$' "$work/out"; then
  echo "FAIL: no progress to 98%"; fail=1
fi
exit $fail
