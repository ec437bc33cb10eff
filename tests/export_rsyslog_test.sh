#!/usr/bin/env bash
# A log shipper's road, with Debian's rsyslog as the shipper: vek_rir_export follows the node's
# live log as JSON Lines with a cursor file into a file; rsyslogd (our own instance: its own
# configuration, pid file and work directory, never the host's service) reads that file with
# imfile, parses each line with mmjsonparse (empty cookie) and writes seqno, node, class,
# identity and text to the "central" file. Every record must arrive once, fields intact, also
# across a restart of the export from its cursor while records keep being added.
# Usage: export_rsyslog_test.sh BUILD_DIR. Runs in private mount and network namespaces with
# tmpfs on /vek_var and /vek_tmp; every wait is bounded.
set -uo pipefail
if [[ ${VEK_RSYSLOG_TEST_INSIDE:-} != 1 ]]; then
    command -v rsyslogd >/dev/null || { echo "FAIL - rsyslogd is not installed (scripts/test installs rsyslog)"; exit 1; }
    command -v jq >/dev/null || { echo "FAIL - jq is not installed (scripts/test installs jq)"; exit 1; }
    mkdir -p /vek_var /vek_tmp
    VEK_RSYSLOG_TEST_INSIDE=1 exec timeout 300 unshare --mount --net --propagation private \
        bash "$0" "$@"
fi
build=$(cd "$1" && pwd)
tool=$build/bin/vek_rir
export_tool=$build/bin/vek_rir_export
mount -t tmpfs -o size=512m export-var /vek_var || exit 1
mount -t tmpfs -o size=64m export-tmp /vek_tmp || exit 1
ip link set lo up
work=/vek_tmp/ship
mkdir -p $work/rsyslog
source "$(dirname "$0")/vek_rir_check.sh"
wait_for() { # wait_for SECONDS COMMAND...: polls until the command succeeds
    local limit=$(($1 * 10)) i
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
lines() { [[ -f $1 ]] && wc -l <"$1" || echo 0; }
has_lines() { (($(lines "$1") >= $2)); }

follower_pid=
follow() { # starts the export, appending to the file rsyslog reads
    timeout 200 "$export_tool" --follow -o json --cursor-file $work/cursor \
        >>$work/export.json 2>>$work/export.err &
    follower_pid=$!
}

cat >$work/rsyslog.conf <<CONF
global(workDirectory="$work/rsyslog")
module(load="imfile" mode="polling" PollingInterval="1")
module(load="mmjsonparse")
template(name="vek_fields" type="list") {
    property(name="\$!seqno") constant(value="|")
    property(name="\$!node") constant(value="|")
    property(name="\$!class") constant(value="|")
    property(name="\$!identity") constant(value="|")
    property(name="\$!text") constant(value="\n")
}
ruleset(name="vek_ship") {
    action(type="mmjsonparse" cookie="")
    if \$parsesuccess == "OK" and \$!seqno != "" then {
        action(type="omfile" file="$work/central.log" template="vek_fields")
    }
}
input(type="imfile" File="$work/export.json" Tag="vek_rir:" Ruleset="vek_ship")
CONF

# Records with JSON's special characters and UTF-8, on a log of node A.
touch /vek_var/VEK_I_AM_A
"$tool" -o rir_add -C EVENT -c 1 -I shipper -t 'first "quoted" \ back/slash' || exit 1
"$tool" -o rir_add -C 0x42 -c NA -I 'caf'$'\xc3\xa9' -t 'unicode '$'\xe2\x82\xac'' and {braces}' || exit 1
: >$work/export.json
follow
timeout 200 rsyslogd -n -f $work/rsyslog.conf -i $work/rsyslogd.pid &
rsyslog_pid=$!

for i in $(seq 1 200); do "$tool" -o rir_add -C STEP -c "$i" -I writer -t "step $i" || exit 1; done
check "the first export wrote every record" wait_for 20 has_lines $work/export.json 202
kill -TERM $follower_pid
wait $follower_pid
check "a follow ended by SIGTERM exits with 0" test $? -eq 0
for i in $(seq 201 300); do "$tool" -o rir_add -C STEP -c "$i" -I writer -t "step $i" || exit 1; done
follow
for i in $(seq 301 400); do "$tool" -o rir_add -C STEP -c "$i" -I writer -t "step $i" || exit 1; done
check "the resumed export wrote the rest" wait_for 20 has_lines $work/export.json 402
check "rsyslog received every record" wait_for 30 has_lines $work/central.log 402

kill -TERM $follower_pid 2>/dev/null
wait $follower_pid 2>/dev/null
kill -TERM $rsyslog_pid 2>/dev/null
wait $rsyslog_pid 2>/dev/null

# What rsyslog wrote must be what the export said, field by field, each record once.
jq -r '"\(.seqno)|\(.node)|\(.class)|\(.identity)|\(.text)"' $work/export.json >$work/expected.log
check "jq parses every exported line" test $? -eq 0
check "every record exactly once, fields intact" cmp $work/expected.log $work/central.log
check "sequence numbers 0 to 401 in order" \
    test "$(cut -d'|' -f1 $work/central.log | tr '\n' ' ')" = "$(seq 0 401 | tr '\n' ' ')"
check "special characters arrive unchanged" \
    grep -qxF '0|A|EVENT|shipper|first "quoted" \ back/slash' $work/central.log
check "UTF-8 and unnamed classes arrive unchanged" \
    grep -qxF '1|A|66|caf'$'\xc3\xa9''|unicode '$'\xe2\x82\xac'' and {braces}' $work/central.log
check "no loss and no reset was reported" test ! -s $work/export.err
if ((failures)); then
    echo "--- export.err"; cat $work/export.err
    echo "--- central.log (head)"; head -5 $work/central.log
    diff $work/expected.log $work/central.log | head -10
fi
echo "$failures failure(s)"
((failures == 0))
