# The road from the appliance to a fleet's central log server, on one machine, for the shipping
# test and benchmark. Source this file (it sources nodes.sh), then:
#   fleet_up BUILD_DIR; fleet_ship_start A|B; central_rsyslog_start; node_rsyslog_start A|B;
#   node_export_start A|B; ...; fleet_down.
#
# Beside the two nodes of nodes.sh comes a third namespace, the central server (host name
# vek-rir-central), joined to each node by a veth pair of its own (10.214.1.0/24 to node A,
# 10.214.2.0/24 to node B); in each node's host table vek-rir-central names it. Every node and
# the central server get private tmpfs mounts on /var/log, /var/lib and /var/spool, so the
# shipped configurations (packaging/rsyslog/) and the unit's paths are used as they stand:
# the export writes /var/log/vek-rir/export.json and keeps its cursor in
# /var/lib/vek-rir-export, each rsyslogd works in /var/spool/rsyslog, the central one writes
# /var/log/vek-rir/central.json. Each rsyslogd is our own instance (a small main file that
# includes the shipped one, its own pid file), never the host's service.
here_fleet=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here_fleet/nodes.sh"

VEK_FLEET_SOURCE=$(cd "$here_fleet/../.." && pwd)
VEK_CENTRAL_PID=
VEK_CENTRAL_NS=
declare -gA VEK_FLEET_NODE_ADDR=([A]=10.214.1.1 [B]=10.214.2.2)
declare -gA VEK_FLEET_CENTRAL_ADDR=([A]=10.214.1.3 [B]=10.214.2.3)
# The export runs as this user, as the unit's dynamic user would: no group of the log's.
VEK_FLEET_EXPORT_UID=65534

central_run() {
    timeout "${VEK_NODE_TIMEOUT:-60}" nsenter -t "$VEK_CENTRAL_PID" -n -m -u -- "$@"
}

central_sh() {
    central_run bash -euo pipefail -c "$*"
}

# Waits up to $1 seconds for a command to succeed (the deadline counts the command's own time).
fleet_wait() {
    local deadline=$((SECONDS + $1))
    shift
    while :; do
        "$@" >/dev/null 2>&1 && return 0
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

fleet_up() {
    local build=$1 missing=() node
    [[ -x /usr/sbin/rsyslogd ]] || missing+=("rsyslogd (package rsyslog)")
    for module in imfile omrelp imrelp; do
        [[ -n $(find /usr/lib -path "*/rsyslog/$module.so" 2>/dev/null | head -1) ]] ||
            missing+=("rsyslog's $module (package rsyslog-relp for RELP)")
    done
    command -v setpriv >/dev/null || missing+=("setpriv (package util-linux)")
    if ((${#missing[@]})); then
        nodes_say "missing: ${missing[*]}"
        return 1
    fi
    nodes_up "$build" || return 1
    unshare --net --mount --uts --propagation private sleep infinity &
    VEK_CENTRAL_PID=$!
    local own_net i
    own_net=$(readlink /proc/self/ns/net)
    for i in $(seq 50); do
        VEK_CENTRAL_NS=$(readlink "/proc/$VEK_CENTRAL_PID/ns/net" 2>/dev/null || true)
        [[ -n $VEK_CENTRAL_NS && $VEK_CENTRAL_NS != "$own_net" ]] && break
        sleep 0.1
    done
    if [[ -z $VEK_CENTRAL_NS || $VEK_CENTRAL_NS == "$own_net" ]]; then
        VEK_CENTRAL_NS=
        nodes_say "the central server did not get its own namespaces"
        return 1
    fi
    central_sh "hostname vek-rir-central
                for d in /var/log /var/lib /var/spool; do mount -t tmpfs -o size=256m vek-central \$d; done
                mkdir -p /var/log/vek-rir /var/spool/rsyslog
                ip link set lo up" || return 1
    for node in A B; do
        local dev=vek-ship-${node,,} peer_dev=vek-ctr-${node,,}
        node_run "$node" ip link add "$dev" type veth peer name "$peer_dev" netns "$VEK_CENTRAL_PID" ||
            return 1
        node_sh "$node" "ip addr add ${VEK_FLEET_NODE_ADDR[$node]}/24 dev $dev && ip link set $dev up
            echo '${VEK_FLEET_CENTRAL_ADDR[$node]} vek-rir-central' >> /vek_tmp/etc/hosts
            for d in /var/log /var/lib /var/spool; do mount -t tmpfs -o size=256m vek-ship-$node \$d; done
            mkdir -p /var/log/vek-rir /var/spool/rsyslog /vek_tmp/rsyslog
            mkdir -m 700 /var/lib/vek-rir-export
            chown $VEK_FLEET_EXPORT_UID /var/lib/vek-rir-export" || return 1
        central_sh "ip addr add ${VEK_FLEET_CENTRAL_ADDR[$node]}/24 dev $peer_dev && ip link set $peer_dev up" ||
            return 1
    done
}

# The main file of one rsyslogd: its work directory, then the shipped configuration as it is.
fleet_rsyslog_conf() {
    printf 'global(workDirectory="/var/spool/rsyslog")\ninclude(file="%s")\n' \
        "$VEK_FLEET_SOURCE/packaging/rsyslog/$1"
}

central_rsyslog_start() {
    fleet_rsyslog_conf vek-rir-central.conf | central_sh 'mkdir -p /var/spool/rsyslog-main; cat > /var/spool/rsyslog-main/rsyslog.conf'
    VEK_NODE_TIMEOUT=0 central_run setsid /usr/sbin/rsyslogd -n -f /var/spool/rsyslog-main/rsyslog.conf \
        -i /var/spool/rsyslog-main/rsyslogd.pid </dev/null >>/dev/null 2>&1 &
    fleet_wait 10 central_sh 'ss -Hltn "sport = :2514" | grep -q .' ||
        { nodes_say "the central rsyslogd does not listen"; return 1; }
}

# central_rsyslog_stop TERM|KILL: the signal, then waits (bounded) until it is gone.
central_rsyslog_stop() {
    local pid
    pid=$(central_run cat /var/spool/rsyslog-main/rsyslogd.pid 2>/dev/null) || return 1
    kill -"$1" "$pid" || return 1
    fleet_wait 20 bash -c "! kill -0 $pid 2>/dev/null" || return 1
    central_run rm -f /var/spool/rsyslog-main/rsyslogd.pid
}

node_rsyslog_start() {
    local node=$1
    fleet_rsyslog_conf vek-rir-node.conf | node_sh "$node" 'cat > /vek_tmp/rsyslog/rsyslog.conf'
    VEK_NODE_TIMEOUT=0 node_run "$node" setsid /usr/sbin/rsyslogd -n -f /vek_tmp/rsyslog/rsyslog.conf \
        -i /vek_tmp/rsyslog/rsyslogd.pid </dev/null >>/dev/null 2>&1 &
    fleet_wait 10 node_sh "$node" '[ -s /vek_tmp/rsyslog/rsyslogd.pid ]' ||
        { nodes_say "the rsyslogd of node $node did not start"; return 1; }
}

node_rsyslog_stop() {
    local node=$1 pid
    pid=$(node_run "$node" cat /vek_tmp/rsyslog/rsyslogd.pid 2>/dev/null) || return 1
    kill -"$2" "$pid" || return 1
    fleet_wait 20 bash -c "! kill -0 $pid 2>/dev/null" || return 1
    node_run "$node" rm -f /vek_tmp/rsyslog/rsyslogd.pid
}

# The export as the shipped unit runs it: its ExecStart line, the binary from the build, as an
# unprivileged user outside the log's group, appending to the unit's StandardOutput file.
fleet_export_command() {
    local unit=$VEK_FLEET_SOURCE/packaging/vek-rir-export.service.in line
    line=$(sed -n 's/^ExecStart=//p' "$unit")
    echo "${line//@CMAKE_INSTALL_FULL_BINDIR@/$VEK_NODES_BUILD/bin}"
}

fleet_export_output() {
    sed -n 's/^StandardOutput=append://p' "$VEK_FLEET_SOURCE/packaging/vek-rir-export.service.in"
}

# node_export_start NODE [held]: with "held" the process stops itself (SIGSTOP) before the
# export begins and its pid is in /vek_tmp/export.pid: a SIGCONT lets it run.
node_export_start() {
    local node=$1 hold= command output
    [[ ${2:-} == held ]] && hold='echo $$ > /vek_tmp/export.pid; kill -STOP $$'
    command=$(fleet_export_command)
    output=$(fleet_export_output)
    [[ -n $command && -n $output ]] || { nodes_say "the export unit has no ExecStart or output file"; return 1; }
    node_run "$node" rm -f /vek_tmp/export.pid
    VEK_NODE_TIMEOUT=0 node_run "$node" setsid bash -c "exec >>$output 2>>/vek_tmp/export.err
        $hold
        exec setpriv --reuid=$VEK_FLEET_EXPORT_UID --regid=$VEK_FLEET_EXPORT_UID --clear-groups $command" \
        </dev/null 2>/dev/null &
    if [[ -n $hold ]]; then
        fleet_wait 10 node_sh "$node" 'grep -q "^State:.*T" /proc/$(cat /vek_tmp/export.pid)/status' && return 0
    else
        fleet_wait 10 node_export_pid "$node" && return 0
    fi
    nodes_say "the export of node $node did not start"
    return 1
}

node_export_pid() {
    local p
    for p in $(node_pids "$1"); do
        if [[ $(cat "/proc/$p/comm" 2>/dev/null) == vek_rir_export ]]; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# node_export_stop NODE TERM|KILL
node_export_stop() {
    local pid
    pid=$(node_export_pid "$1") || return 1
    kill -"$2" "$pid" || return 1
    fleet_wait 10 bash -c "! kill -0 $pid 2>/dev/null"
}

# The unit's rotation (rsyslog/vek-rir-export.logrotate): the export stopped, the file renamed,
# the export started again on a new file.
node_export_rotate() {
    local node=$1 output
    output=$(fleet_export_output)
    node_export_stop "$node" TERM || return 1
    node_run "$node" mv "$output" "$output.1" || return 1
    node_export_start "$node"
}

central_pids() {
    local p
    [[ -n $VEK_CENTRAL_NS ]] || return 0
    for p in /proc/[0-9]*; do
        if [[ $(readlink "$p/ns/net" 2>/dev/null) == "$VEK_CENTRAL_NS" ]]; then
            echo "${p#/proc/}"
        fi
    done
    return 0
}

# Ends every process of the central server and of both nodes. Safe to call more than once.
fleet_down() {
    local pids signal
    if [[ -n $VEK_CENTRAL_PID ]]; then
        for signal in TERM KILL; do
            pids=$(central_pids)
            [[ -z $pids ]] || kill -$signal $pids 2>/dev/null || true
            [[ $signal == KILL || -z $pids ]] ||
                fleet_wait 5 bash -c "for p in $pids; do kill -0 \$p 2>/dev/null && exit 1; done; exit 0" || true
        done
        wait "$VEK_CENTRAL_PID" 2>/dev/null || true
        VEK_CENTRAL_PID=
        VEK_CENTRAL_NS=
    fi
    nodes_down
}
