#!/usr/bin/env bash
# The whole road from the appliance to a central log server (scripts/nodes/fleet.sh): on nodes A
# and B the export runs as its unit does (an unprivileged user, the unit's command line and
# file) and the node's rsyslog ships the lines with the shipped configuration over RELP to a
# central rsyslog in a third namespace. Writers append on both nodes while the central rsyslog
# is stopped with SIGTERM and later killed with SIGKILL (each restarted after a pause), node A's
# rsyslog is restarted, node A's file is rotated as the logrotate file does, and node B's export
# is killed with SIGKILL while more records are appended than its ring holds, restarted as the
# unit would, killed again in the middle of its catch-up and restarted. Then, per node: every record appended is in the central file at least once or
# was reported lost by the export, with the exact count; duplicates stay within the bound; the
# central file ordered by time holds the same records as node A's merged log of the period.
# Usage: fleet_test.sh BUILD_DIR. Bounded in time; tears everything down, also on failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
source "$here/../scripts/nodes/fleet.sh"
command -v jq >/dev/null || { echo "FAIL - jq is not installed (scripts/test installs jq)"; exit 1; }

source "$here/vek_rir_check.sh"
step() { echo "# $(date -u +%T) $*"; }

# Records per writer and their pace: about 25 s of appending on each node.
count=${VEK_FLEET_RECORDS:-3000}
rate=${VEK_FLEET_RATE:-120}
# More than node B's ring holds, appended while its export is down: the export must report them.
overflow=13000
ring=12272
relp_window=128

work=$(mktemp -d /tmp/vek-fleet.XXXXXX)
cleanup() {
    fleet_down
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" TERM INT

# rsyslogd's own check of the shipped files: an unknown parameter only warns at a start.
for conf in vek-rir-node.conf vek-rir-central.conf; do
    printf 'global(workDirectory="%s")\ninclude(file="%s")\n' "$work" "$here/../packaging/rsyslog/$conf" \
        >"$work/check.conf"
    check "rsyslogd accepts $conf" bash -c "/usr/sbin/rsyslogd -N1 -f '$work/check.conf' >'$work/check.out' 2>&1"
done
fleet_up "$build" || { echo "FAIL - the nodes and the central server could not be brought up"; exit 1; }
node_serve A || exit 1
node_serve B || exit 1
central_rsyslog_start || { echo "FAIL - the central rsyslog did not start"; exit 1; }
for node in A B; do
    node_rsyslog_start $node || { echo "FAIL - node $node's rsyslog did not start"; exit 1; }
    node_export_start $node || { echo "FAIL - node $node's export did not start"; exit 1; }
done
check "the export runs as an unprivileged user" \
    test "$(stat -c %u "/proc/$(node_export_pid A)")" = "$VEK_FLEET_EXPORT_UID"

step "writers start: $count records on each node at $rate a second"
VEK_NODE_TIMEOUT=120 node_probe A write writer.A "$count" "$rate" >"$work/writer.A" &
writer_a=$!
VEK_NODE_TIMEOUT=120 node_probe B write writer.B "$count" "$rate" >"$work/writer.B" &
writer_b=$!

sleep 3
step "central rsyslog: SIGTERM, 3 s down"
check "the central rsyslog stops on SIGTERM" central_rsyslog_stop TERM
sleep 3
check "the central rsyslog starts again" central_rsyslog_start
sleep 3
# While the central server is up: a node's rsyslog stopped while the central server is away
# loses what RELP had sent and not yet had acknowledged when the connection broke (README).
step "node A's rsyslog: SIGTERM, 2 s down"
check "node A's rsyslog stops on SIGTERM" node_rsyslog_stop A TERM
sleep 2
check "node A's rsyslog starts again" node_rsyslog_start A
sleep 3
step "central rsyslog: SIGKILL, 3 s down"
check "the central rsyslog dies of SIGKILL" central_rsyslog_stop KILL
sleep 3
check "the central rsyslog starts again after the kill" central_rsyslog_start
sleep 2
step "node B's export: SIGKILL; $overflow records appended while it is down"
check "node B's export dies of SIGKILL" node_export_stop B KILL
check "node B takes $overflow more records" \
    test "$(node_probe B write burst.B $overflow 0)" = "$overflow"
sleep 2 # the unit's RestartSec
# Started again, it reads the 12,272 records its ring still holds in one batch: killed again as
# soon as that batch shows in its file, before the batch ends and the cursor is saved, it writes
# the batch's lines again after the next start (duplicates that the central side must count).
export_file=/proc/${VEK_NODE_PID[B]}/root$(fleet_export_output)
size_before=$(stat -c %s "$export_file")
check "node B's export is started again as the unit would" node_export_start B held
held=$(node_run B cat /vek_tmp/export.pid)
kill -CONT "$held"
for ((i = 0; i < 5000; i++)); do
    (($(stat -c %s "$export_file") > size_before)) && break
done
kill -KILL "$held"
check "node B's export dies of SIGKILL in the middle of its catch-up" \
    fleet_wait 10 bash -c "! kill -0 $held 2>/dev/null"
sleep 2
check "node B's export is started again after the second kill" node_export_start B
sleep 3
step "node A's file rotated (export stopped, file renamed, export started)"
check "node A's export file is rotated" node_export_rotate A

wait $writer_a
check "node A's writer appended every record" test "$(cat "$work/writer.A")" = "$count"
wait $writer_b
check "node B's writer appended every record" test "$(cat "$work/writer.B")" = "$count"

appended() { # the live log's next sequence number: every record ever appended to it
    local hex
    hex=$(node_tool "$1" -o rir_info -M /vek_var/vek-rir-local.bin | sed -n 's/^# header.next_seqno *//p')
    echo $((16#$hex))
}
declare -A host=([A]=vek-node-a [B]=vek-node-b) total=()
for node in A B; do
    total[$node]=$(appended $node)
done

# The shipped accounting program (one object per node's log: host, node and generation; records
# arrived once, duplicates, reported lost, first and last sequence number, unexplained gaps).
count_program=$here/../packaging/rsyslog/vek-rir-central-count.jq
central() { central_run cat /var/log/vek-rir/central.json; }
# Prints: record lines, records arrived once, distinct sequence numbers, highest sequence
# number, records reported lost, sequence numbers missing without a report.
account() { # account HOST
    local counts
    counts=$(central | jq -s -f "$count_program" | jq -s -r --arg h "$1" '
        [.[] | select(.host == $h)] | if length == 1 then .[0] else error("not one log") end
        | "\(.records + .duplicates) \(.records) \(.last_seqno) \(.reported_lost) \(.unexplained)"') ||
        return 1
    local lines once highest lost gaps seqnos
    read -r lines once highest lost gaps <<<"$counts"
    seqnos=$(central | jq -s --arg h "$1" '[.[] | select(.hostname == $h and .seqno != null) | .seqno] | unique | length')
    echo "$lines $once $seqnos $highest $lost $gaps"
}
arrived() { # arrived NODE: every record is there or reported lost
    local lines once seqnos highest lost gaps
    read -r lines once seqnos highest lost gaps < <(account "${host[$1]}") || return 1
    ((once + lost >= total[$1]))
}
step "waiting (at most 60 s) for every record to arrive"
for node in A B; do
    check "every record of node $node arrived or was reported lost" fleet_wait 60 arrived $node
done

# Duplicates the export itself wrote (its restarts), from the node's own files.
export_duplicates() {
    node_sh "$1" 'cat /var/log/vek-rir/export.json.1 2>/dev/null || true; cat /var/log/vek-rir/export.json' |
        jq -s "[.[] | select(.seqno != null)] | length - (unique_by([.seqno, .time]) | length)"
}
declare -A breaks=([A]=3 [B]=2) # RELP connections broken: central stop and kill, A's restart
echo "# node|appended|arrived once|duplicates (by the export)|reported lost|unexplained"
for node in A B; do
    read -r lines once seqnos highest lost gaps < <(account "${host[$node]}")
    by_export=$(export_duplicates $node)
    duplicates=$((lines - once))
    unexplained=$((total[$node] - once - lost))
    echo "# $node|${total[$node]}|$once|$duplicates ($by_export)|$lost|$unexplained"
    check "node $node: no record lost without a report" test "$unexplained" = 0
    check "node $node: the accounting program finds no gap without a report" test "$gaps" = 0
    check "node $node: no record arrived twice with different contents or times" test "$seqnos" = "$once"
    check "node $node: no record arrived that was never appended" test "$highest" = $((total[$node] - 1))
    check "node $node: duplicates within one export batch per export kill and one RELP window per broken connection" \
        test "$duplicates" -le $((by_export + breaks[$node] * relp_window))
    echo "#   rsyslog's ${lines} record lines: $((duplicates - by_export)) repeated by RELP, $by_export by the export"
done
hosts_agree() {
    central | jq -s -e '[.[] | select(.seqno != null) | select(.host != .hostname or .generation != 1)]
        | length == 0' >/dev/null
}
check "every record names the host its node's rsyslog sent it from, and the generation of a new log (1)" hosts_agree
read -r lines_a once_a _ _ lost_a _ < <(account "${host[A]}")
read -r lines_b once_b _ _ lost_b _ < <(account "${host[B]}")
# README's jq line, as an operator runs it on the central file, gives the same counts.
readme_jq() { # readme_jq N: the program of README's Nth jq line on the central file
    sed -n "s|^    jq -s '\(.*\)' /var/log/vek-rir/central.json\$|\1|p" "$here/../README.md" | sed -n "${1}p"
}
check "README's jq line counts the records and duplicates" test "$(central | jq -s -c "$(readme_jq 1)")" = \
    "{\"records\":$((once_a + once_b)),\"duplicates\":$((lines_a - once_a + lines_b - once_b))}"
check "node A's export reported no loss" test "$lost_a" = 0
check "node B's export reported the records its ring overwrote while it was down" \
    test "$lost_b" -gt $((overflow - ring - rate * 5)) -a "$lost_b" -le "$overflow"
check "node A's stopped export (SIGTERM, rotation) wrote nothing twice" test "$(export_duplicates A)" = 0
check "node B's twice killed export repeated at most one batch each time" \
    test "$(export_duplicates B)" -le $((2 * ring))

# The central file by time against the appliance's own merged log of the same period: node B's
# snapshot fetched and merged on node A now, then both read as JSON.
node_tool B -o rir_run -A snap >/dev/null
check "node A merges both nodes' logs" \
    test "$(node_tool A -o rir_run -A mirror-peer-and-merge -O 30)" = "mirror-peer-and-merge: ok"
node_run A "$build/bin/vek_rir_export" -o json -M /vek_var/vek-rir-merged.bin >"$work/merged.json"
# The merged log numbers its records afresh: a record is compared by everything else.
fields='{node, time, class, code, identity, text}'
order='sort_by([.time, .node, .identity, .text])'
jq -s -c "map(select(.seqno != null) | $fields) | $order | .[]" "$work/merged.json" >"$work/merged.sorted"
check "the merged log holds both nodes' records" \
    test "$(wc -l <"$work/merged.sorted")" = $((total[A] + ring))
# The period: from the oldest record of node B that the merged log still holds (all of A's are).
first_b=$(jq -s '[.[] | select(.node == "B") | .time] | min' "$work/merged.sorted")
central | jq -s -c --argjson fb "$first_b" \
    "map(select(.seqno != null and (.node == \"A\" or .time >= \$fb)) | $fields) | unique | $order | .[]" \
    >"$work/central.sorted"
check "the central file by time holds the merged log's records, no more, no fewer" \
    cmp -s "$work/merged.sorted" "$work/central.sorted"
cmp -s "$work/merged.sorted" "$work/central.sorted" ||
    diff "$work/merged.sorted" "$work/central.sorted" | head -6
check "the merged log itself is in time order" \
    jq -s -e '[.[] | select(.seqno != null) | .time] | . == sort' "$work/merged.json" >/dev/null

if [[ -n ${VEK_FLEET_KEEP:-} ]]; then # a directory to keep the files in, for a look afterwards
    mkdir -p "$VEK_FLEET_KEEP"
    central >"$VEK_FLEET_KEEP/central.json"
    for node in A B; do
        node_sh $node 'cat /var/log/vek-rir/export.json.1 2>/dev/null || true; cat /var/log/vek-rir/export.json' \
            >"$VEK_FLEET_KEEP/export.$node.json"
        node_run $node cat /vek_tmp/export.err >"$VEK_FLEET_KEEP/export.$node.err"
    done
    cp "$work"/merged.* "$VEK_FLEET_KEEP/"
fi
namespaces="$VEK_CENTRAL_NS ${VEK_NODE_NS[A]} ${VEK_NODE_NS[B]}"
cleanup
trap - EXIT
left_in() { # prints the processes still in one of the given network namespaces
    local p ns
    for p in /proc/[0-9]*; do
        ns=$(readlink "$p/ns/net" 2>/dev/null) || continue
        [[ " $* " == *" $ns "* ]] && echo "${p#/proc/}"
    done
    return 0
}
check "nothing of the three namespaces is left running" test -z "$(left_in $namespaces)"
check "no link of the three is left on the host" bash -c '! ip -br link | grep -qE "vek-(rir|ship|ctr)"'

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all fleet checks passed"
