#!/usr/bin/env bash
# Records through the real program without a display and prints, per thread, CPU per second,
# wake-ups (voluntary + involuntary context switches) per second and CPU per MiB recorded, read
# from /proc over the middle of the recording, beside dd writing the same bytes in 1 MiB blocks.
#
#   bench/record_profile.sh FILE RATE SECONDS [BINARY]
#   e.g. bench/record_profile.sh /tmp/x.dff 11289600 20
set -euo pipefail
file="${1:?file to record}"; rate="${2:?rate in Hz}"; seconds="${3:-20}"
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${4:-$root/build/bin/tessaro-recorder}"
private="$(mktemp -d)"
trap '[ -n "${KEEP:-}" ] || rm -rf "$private"; rm -f "$file" "$file.dd"' EXIT

# Per thread of pid: "tid name cpu_ns switches", one line each.
sample() {
    local pid=$1 t name cpu vol invol
    for t in /proc/"$pid"/task/*; do
        name=$(tr ' ' _ 2>/dev/null <"$t/comm") || continue
        cpu=$(cut -d' ' -f1 "$t/schedstat" 2>/dev/null) || continue
        vol=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null) || continue
        invol=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null) || continue
        echo "${t##*/} $name $cpu $((vol + invol))"
    done
}

rm -f "$file"
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$private/config" XDG_STATE_HOME="$private/state" \
    "$bin" --record "$file" --rate "$rate" --seconds "$seconds" >/dev/null 2>"$private/log" &
pid=$!
# The window: from the first progress line (driver up, recording running for a second) to
# half the recording later (the program may lag behind its own clock on a busy machine).
for _ in $(seq 300); do
    grep -q '^00:00:01' "$private/log" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
window=$(awk -v s="$seconds" 'BEGIN { w = s / 2; if (w < 1) w = 1; print w }')
size0=$(stat -c %s "$file" 2>/dev/null || echo 0)
sample "$pid" >"$private/a"
t0=$(date +%s.%N)
sleep "$window"
sample "$pid" >"$private/b"
t1=$(date +%s.%N)
size1=$(stat -c %s "$file" 2>/dev/null || echo 0)
wait "$pid" || { echo "the recorder failed:"; cat "$private/log"; exit 1; }

mib=$(awk -v a="$size0" -v b="$size1" 'BEGIN { printf "%.3f", (b - a) / 1048576 }')
secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
echo "rate $rate, $(basename "$file"): $mib MiB reached the file in $secs s; load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-16s %12s %12s %14s\n' thread "CPU ms/s" "wake-ups/s" "CPU ms/MiB"
join <(sort "$private/a") <(sort "$private/b") | awk -v s="$secs" -v m="$mib" '{
    cpu = ($6 - $3) / 1e6; sw = $7 - $4
    if (cpu > 0 || sw > 0)
        printf "%-16s %12.2f %12.1f %14.3f\n", $2, cpu / s, sw / s, (m > 0 ? cpu / m : 0)
}' | sort -k2 -nr

# dd of the same bytes, 1 MiB at a time; its CPU from its own rusage.
blocks=$(awk -v m="$mib" 'BEGIN { printf "%d", m + 0.5 }')
TIMEFORMAT='%U %S'
ddcpu=$( { time dd if=/dev/zero of="$file.dd" bs=1M count="$blocks" status=none; } 2>&1 )
awk -v c="$ddcpu" -v m="$blocks" 'BEGIN { split(c, t, " "); printf "%-16s %12s %12s %14.3f\n", "dd bs=1M", "", "", (t[1] + t[2]) * 1000 / m }'
