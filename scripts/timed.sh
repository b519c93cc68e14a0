#!/usr/bin/env bash
# timed.sh LABEL COMMAND...: runs COMMAND, then prints (to stderr, and
# appends to $PHASE_LOG when set) its wall time and the CPU time (user +
# system) of it and its children, so a CI log shows where the time goes.
# Exits as COMMAND did.
label=$1
shift
TIMEFORMAT="%R %U %S"
times_file=$(mktemp)
{ time "$@" 2>&3 3>&-; } 3>&2 2>"$times_file"
status=$?
read -r real user sys <"$times_file"
rm -f "$times_file"
line=$(printf '== %-26s %7.1f s wall %8.1f s cpu (user %.1f, sys %.1f)' \
  "$label" "$real" "$(echo "$user + $sys" | awk '{ print $1 + $3 }')" "$user" "$sys")
[ "$status" = 0 ] || line+="  [exit $status]"
echo "$line" >&2
[ -z "${PHASE_LOG:-}" ] || echo "$line" >>"$PHASE_LOG"
exit "$status"
