#!/usr/bin/env bash
# End to end on two real nodes (scripts/nodes/nodes.sh): records added on both nodes through the
# tool and through the C interface reach both merged logs by the servers' own timers, in time
# order and with their node flags; the mirrors fill; an outage of node B's OpenSSH server gives
# node A one failure line, keeps it serving with the last peer copy, and is caught up after.
# Usage: two_nodes_test.sh BUILD_DIR. Bounded in time; tears everything down, also on failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
source "$here/../scripts/nodes/nodes.sh"

source "$here/vek_rir_check.sh"

# Waits up to $1 seconds for a command to succeed; prints the seconds it took.
wait_for() {
    local limit=$1 start=$SECONDS
    shift
    while ! "$@" >/dev/null 2>&1; do
        ((SECONDS - start < limit)) || return 1
        sleep 0.5
    done
    echo $((SECONDS - start))
}

eventually() { wait_for "$@" >/dev/null; }

status_is() { # status_is NODE EXIT TEXT...: rir_status on NODE exits EXIT and prints each TEXT
    local node=$1 want=$2 out rc=0 text
    shift 2
    out=$(node_tool "$node" -o rir_status) || rc=$?
    ((rc == want)) || { echo "# rir_status on node $node exited $rc:"; sed 's/^/#   /' <<<"$out"; return 1; }
    for text in "$@"; do
        grep -qF -- "$text" <<<"$out" || { echo "# no \"$text\" in:"; sed 's/^/#   /' <<<"$out"; return 1; }
    done
}

# The server rewrites its status after the pass that answered: wait for it, and show the last
# output when it never comes.
status_soon() { # status_soon SECONDS NODE EXIT TEXT...
    local limit=$1
    shift
    eventually "$limit" status_is "$@" || { status_is "$@"; return 1; }
}

merged_has() { # merged_has NODE TEXT...
    local node=$1 dump
    shift
    dump=$(node_tool "$node" -o rir_dump -M /vek_var/vek-rir-merged.bin) || return 1
    local text
    for text in "$@"; do
        grep -qF "|$text" <<<"$dump" || return 1
    done
}

fetch_failures() {
    node_sh A 'grep -c "unable to fetch /vek_var/vek-rir-local-snap.bin from peer to /vek_var/vek-rir-fetch/vek-rir-peer.bin.tmp" /vek_tmp/syslog || true'
}

# The probe's lines are seqno|flags|secs.usecs|identity|text, the times all of one width: they
# never go back, and the record with the given text carries the given node flag.
times_in_order() {
    local seqno flags time identity text last=
    while IFS='|' read -r seqno flags time identity text; do
        [[ -n $last && $time < $last ]] && return 1
        last=$time
    done <<<"$1"
    [[ -n $last ]]
}
has_flag() { # has_flag LINES TEXT FLAG
    local seqno flags time identity text found=0
    while IFS='|' read -r seqno flags time identity text; do
        [[ $text == "$2" ]] || continue
        (((flags & 3) == $3)) || return 1
        found=1
    done <<<"$1"
    ((found))
}

trap nodes_down EXIT
nodes_up "$build" || { echo "FAIL - the two nodes could not be brought up"; exit 1; }
# Node B serves and has a snapshot before node A's first fetch, so A logs no failure early.
node_serve B || exit 1
node_tool B -o rir_run -A snap >/dev/null
node_serve A || exit 1

nonce=$$-$RANDOM
node_tool A -o rir_add -C START -c 1 -I nodeA.tool -t "A tool $nonce" >/dev/null
node_probe A add nodeA.lib "A lib $nonce" >/dev/null
sleep 1
node_tool B -o rir_add -C EVENT -c 2 -I nodeB.tool -t "B tool $nonce" >/dev/null
node_probe B add nodeB.lib "B lib $nonce" >/dev/null
all=("A tool $nonce" "A lib $nonce" "B tool $nonce" "B lib $nonce")

# By the timers alone: about 32 s plus the copy.
took=$(wait_for 45 merged_has A "${all[@]}")
check "node A's merged log holds both nodes' records by the timers (after ${took:-more than 45} s)" \
    test -n "$took"
echo "# from the append on node B to node A's merged log: ${took:-?} s"
took_b=$(wait_for 25 merged_has B "${all[@]}")
check "node B's merged log holds both nodes' records" test -n "$took_b"

both=$(node_probe A both)
check "vek_rir_if_snap_fetch_both on node A returns all four records" \
    bash -c 'for t in "$@"; do grep -qF "|$t" <<<"$0" || exit 1; done' "$both" "${all[@]}"
check "the merged records are in time order" times_in_order "$both"
check "node A's records carry node flag A" has_flag "$both" "A tool $nonce" 1
check "node A's library record carries node flag A" has_flag "$both" "A lib $nonce" 1
check "node B's records carry node flag B" has_flag "$both" "B tool $nonce" 2
check "node B's library record carries node flag B" has_flag "$both" "B lib $nonce" 2

for node in A B; do
    check "node $node's three mirror copies are on its /vek_node" eventually 25 node_sh "$node" '
        [ "$(stat -c %s /vek_node/vek-rir-local.bin)" = 3145728 ] &&
        [ "$(stat -c %s /vek_node/vek-rir-peer.bin)" = 3145728 ] &&
        [ "$(stat -c %s /vek_node/vek-rir-merged.bin)" = 6287360 ]'
done
check "no fetch failure was logged on node A so far" test "$(fetch_failures)" = 0
for node in A B; do
    check "rir_status on node $node: OK, the fetch, merge and mirror done" status_soon 25 \
        "$node" 0 "RIR OK" "fetch   ok" "merge   ok" "mirror  ok" "newest record of the peer copy"
done

# The failure line goes out only when more than 120 s have passed since the node's boot.
uptime_secs=$(cut -d. -f1 /proc/uptime)
((uptime_secs > 125)) || sleep $((125 - uptime_secs))

node_sshd_stop B
node_tool B -o rir_add -I nodeB.tool -t "B during outage $nonce" >/dev/null
for k in 1 2 3; do
    node_tool A -o rir_run -A mirror-peer-and-merge >/dev/null
done
check "the outage gives exactly one fetch failure line on node A" test "$(fetch_failures)" = 1
check "rir_status on node A warns of each failed fetch, also those the log held back" \
    status_soon 10 A 1 "RIR WARNING" "fetch failed" "in a row): unable to fetch"
check "node A keeps serving" test "$(node_tool A -o rir_run -A nothing)" = "nothing: ok"
check "node A's merged log keeps the last peer copy's records" merged_has A "${all[@]}"
check "node A's merged log has nothing of the outage yet" bash -c '! grep -qF "B during outage" <<<"$0"' \
    "$(node_tool A -o rir_dump -M /vek_var/vek-rir-merged.bin)"

node_sshd_start B
node_tool B -o rir_run -A snap >/dev/null
node_tool A -o rir_run -A mirror-peer-and-merge >/dev/null
check "node A catches up after the outage" merged_has A "B during outage $nonce" "${all[@]}"
check "the recovery logged no further failure" test "$(fetch_failures)" = 1
check "rir_status on node A is OK again" status_soon 10 A 0 "RIR OK" "fetch   ok"

pids_a=${VEK_NODE_PID[A]} pids_b=${VEK_NODE_PID[B]}
nodes_down
trap - EXIT
check "nothing of either node is left running" bash -c "! kill -0 $pids_a 2>/dev/null && ! kill -0 $pids_b 2>/dev/null"
check "no node link is left on the host" bash -c '! ip -br link | grep -q vek-rir'
check "no node mount is left on the host" bash -c '! grep -qE " /vek_(var|tmp|node) " /proc/self/mounts'

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all two-node checks passed"
