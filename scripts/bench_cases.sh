#!/usr/bin/env bash
# The benchmark cases, run by scripts/bench inside a private mount and network namespace.
# Usage: bench_cases.sh BUILD_DIR DISK_DIR OUT_FILE. Writes the markdown table to OUT_FILE.
set -euo pipefail
build=$1 disk_dir=$2 out=$3
bench=$build/bin/vek_rir_bench
tool=$build/bin/vek_rir
rows=$(mktemp /tmp/vek-bench-rows.XXXXXX)
notes=$(mktemp /tmp/vek-bench-notes.XXXXXX)

# ---- the sandbox: private /vek_var, /vek_tmp, /dev; a local rsyslogd; a peer that fails fast
mount -t tmpfs -o size=512m bench-var /vek_var
mount -t tmpfs -o size=1g bench-tmp /vek_tmp
mount -t tmpfs -o size=1m,mode=755 bench-dev /dev
mknod -m 666 /dev/null c 1 3
mknod -m 666 /dev/zero c 1 5
mknod -m 666 /dev/random c 1 8
mknod -m 666 /dev/urandom c 1 9
ln -s /proc/self/fd /dev/fd
: >/dev/kmsg
ip link set lo up
mkdir -p /vek_tmp/bin
printf '#!/bin/sh\nexit 1\n' >/vek_tmp/bin/scp
chmod 755 /vek_tmp/bin/scp
export PATH=/vek_tmp/bin:$PATH

cat >/vek_tmp/rsyslog.conf <<'CONF'
global(workDirectory="/vek_tmp")
module(load="imuxsock" SysSock.Name="/dev/log" SysSock.RateLimit.Interval="0")
*.* action(type="omfile" file="/vek_tmp/rsyslog.out")
CONF
rsyslogd -n -f /vek_tmp/rsyslog.conf -i /vek_tmp/rsyslogd.pid &
rsyslog_pid=$!
for i in $(seq 50); do [[ -S /dev/log ]] && break; sleep 0.1; done
[[ -S /dev/log ]] || { echo "rsyslogd did not start" >&2; exit 1; }
export VEK_BENCH_SYSLOG_FILE=/vek_tmp/rsyslog.out

fresh_var() { rm -rf /vek_var/* 2>/dev/null || true; }
run() { # run MEDIUM ARGS...: one driver run, its rows tagged with the medium
    local medium=$1
    shift
    fresh_var
    "$bench" "$@" | while IFS= read -r line; do
        case $line in
            "#drain"*)
                IFS=$'\t' read -r _ name writers rate <<<"$line"
                echo "$medium $name, $writers writer(s): every line written by rsyslogd at $rate lines/s" >>"$notes"
                ;;
            # Only the driver's rows; an alternative's library may print on standard output.
            *$'\t'[0-9]*$'\t'[0-9]*$'\t'[0-9]*$'\t'[0-9]*$'\t'[0-9]*$'\t'[0-9]*)
                printf '%s\t%s\n' "$medium" "$line" >>"$rows"
                ;;
        esac
    done
}

append_cases() { # append_cases MEDIUM COUNT KINDS...
    local medium=$1 count=$2 kind
    shift 2
    for kind in "$@"; do
        run "$medium" append "$kind" 1 threads "$count"
        run "$medium" append "$kind" 2 threads "$count"
        run "$medium" append "$kind" 2 procs "$count"
        run "$medium" append "$kind" 8 procs "$count"
    done
}

kinds=(rir rir-interval100 floor floor-nocheck write syslog)
if "$bench" has-qb; then kinds+=(qb); fi

echo "tmpfs cases" >&2
# 5000 timed calls per writer: with the warm-up, what each writer logs fits one 3 MiB ring of
# every kind, so "lost" counts records that went missing, not records a ring overwrote.
append_cases tmpfs 5000 "${kinds[@]}"
run tmpfs append rir 2 procs 5000 snaps
run tmpfs snap 200
run tmpfs merge 10
run tmpfs exchange 5000

# The report of a full merged log (left by the exchange case).
"$bench" exchange 10 >/dev/null
start=$(date +%s%N)
for k in 1 2 3; do "$tool" -o rir_dump -M /vek_var/vek-rir-merged.bin >/dev/null; done
dump_ns=$(($(date +%s%N) - start))
echo "tmpfs rir_dump of a full merged log: $((3 * 24544 * 1000000000 / dump_ns)) records/s" >>"$notes"

# System calls of 10000 uncontended appends, less those of a run with none.
fresh_var
strace -f -c -o /vek_tmp/strace-0 "$bench" plain 0 >/dev/null
fresh_var
strace -f -c -o /vek_tmp/strace-1 "$bench" plain 10000 >/dev/null
syscalls=$(awk 'FNR == NR { if ($NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/) base[$NF] = $4; next }
    $NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
        n = ($4 - base[$NF]) / 10000; if (n >= 0.001) printf "%s %.3f, ", $NF, n }' \
    /vek_tmp/strace-0 /vek_tmp/strace-1)
echo "system calls per uncontended append: ${syscalls%, }" >>"$notes"

# Resident memory: a process that attached and appended 100000 records; a server after 60 s.
fresh_var
rss=$("$bench" plain 100000 rss | tr -s ' \t' ' ' | tr '\n' ',' | sed 's/,$//; s/,/, /g')
echo "memory of a logging process after 100000 appends: $rss" >>"$notes"
fresh_var
"$tool" -o rir_serve -r 70 &
server=$!
sleep 60
server_rss=$(grep -E '^(VmRSS|RssAnon|RssFile|RssShmem):' /proc/$server/status | tr -s ' \t' ' ' |
    tr '\n' ',' | sed 's/,$//; s/,/, /g')
echo "memory of a running server after 60 s: $server_rss" >>"$notes"
kill -TERM $server
wait $server || true

echo "disk cases" >&2
fresh_var
mount --bind "$disk_dir" /vek_var
append_cases disk 5000 rir floor
run disk snap 50
run disk merge 5
umount /vek_var

kill $rsyslog_pid 2>/dev/null || true
wait $rsyslog_pid 2>/dev/null || true

# ---- the table: each row against its reference, measured in this same run
{
    echo "# Benchmark results"
    echo
    echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), kernel $(uname -r); $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo "Command: \`scripts/bench\`. Times are per call, in nanoseconds; ratios are this case's"
    echo "median (and p99) over its reference's, from the same run."
    echo
    echo "| medium | case | writers | median ns | p99 ns | p99.9 ns | ops/s | lost | reference | median × | p99 × |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---|---:|---:|"
    awk -F'\t' '
        function ref(name, writers,   base) {
            split(name, part, "/"); base = part[1]
            if (name ~ /\+snaps$/) return "rir/procs"
            if (base == "rir") return "floor/" part[2]
            if (base == "floor-nocheck") return "floor/" part[2]
            if (base == "rir-interval100") return "floor-nocheck/" part[2]
            if (base == "floor") return ""
            if (base == "write" || base == "syslog" || base == "qb") return "rir/" part[2]
            if (name == "snap-lock-hold") return "memcpy-3MiB"
            if (name == "memcpy-3MiB-cold") return "memcpy-3MiB"
            if (name == "merge-2-full") return "bare-pread-pwrite"
            if (name == "nothing-round-trip") return "bare-datagram-round-trip"
            return ""
        }
        { med[$1 SUBSEP $2 SUBSEP $3] = $4; p99[$1 SUBSEP $2 SUBSEP $3] = $5; line[NR] = $0 }
        END {
            for (i = 1; i <= NR; i++) {
                split(line[i], f, "\t")
                r = ref(f[2], f[3]); key = f[1] SUBSEP r SUBSEP f[3]
                mr = ""; pr = ""
                if (r != "" && (key in med) && med[key] > 0) {
                    mr = sprintf("%.2f", f[4] / med[key]); pr = sprintf("%.2f", f[5] / p99[key])
                }
                printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
                    f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], r, mr, pr
            }
        }' "$rows"
    echo
    echo "Also measured:"
    echo
    sed 's/^/- /' "$notes"
    echo
    echo "Google Benchmark view of the single-process cases (mean per operation, tmpfs):"
    echo
    echo '```'
    fresh_var
    mount -t tmpfs -o size=512m bench-var2 /vek_var
    "$build/bin/vek_rir_gbench" --benchmark_min_time=0.5 2>/dev/null | grep -E '^(BM_|Benchmark|-)'
    umount /vek_var
    echo '```'
} >"$out"
rm -f "$rows" "$notes"
