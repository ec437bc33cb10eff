# Two appliance nodes on one machine, for the demo and the end-to-end test. Source this file,
# then: nodes_up BUILD_DIR; node_serve A|B; node_run A|B COMMAND...; nodes_down.
#
# Each node is a network, mount and host-name namespace held open by one sleeping process.
# Inside, it has its own host name (vek-node-a, vek-node-b), tmpfs on /vek_var, /vek_tmp and /vek_node, its node marker, a host
# table in which the peer alias names the other node, a private /etc/passwd with the fetch
# account, a private /dev whose /dev/log is collected into /vek_tmp/syslog, and a real OpenSSH
# server on port 22. The nodes are joined by a veth pair created inside node A's namespace and
# moved into node B's, so the two addresses exist only in those two namespaces. Keys are made
# in the nodes' tmpfs. nodes_down kills every process of both namespaces, after which the
# kernel drops the mounts, the veth pair and the keys: nothing is left on the host but the
# empty mount points /vek_var, /vek_tmp and /vek_node.

VEK_NODES_NET=10.213.0
VEK_NODES_ACCOUNT=rir
VEK_NODES_ALIAS=vek-rir-peer
VEK_NODES_FETCH_UID=7931
declare -gA VEK_NODE_PID=()
declare -gA VEK_NODE_NS=()
declare -gA VEK_NODE_ADDR=([A]=$VEK_NODES_NET.1 [B]=$VEK_NODES_NET.2)
declare -gA VEK_NODE_PEER=([A]=B [B]=A)
VEK_NODES_BUILD=

nodes_say() { echo "nodes: $*" >&2; }

# Says plainly what is missing and fails.
nodes_check() {
    local build=$1 missing=()
    [[ $(id -u) == 0 ]] || { nodes_say "must run as root (namespaces, mounts)"; return 1; }
    for tool in unshare nsenter ip ssh scp ssh-keygen timeout; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [[ -x /usr/sbin/sshd ]] || missing+=("/usr/sbin/sshd (package openssh-server)")
    for binary in vek_rir vek_rir_log_sink vek_rir_probe; do
        [[ -x $build/bin/$binary ]] || missing+=("$build/bin/$binary (build first)")
    done
    if ((${#missing[@]})); then
        nodes_say "missing: ${missing[*]}"
        return 1
    fi
    if ! unshare --net --mount --uts true 2>/dev/null; then
        nodes_say "cannot create network, mount and host-name namespaces here"
        return 1
    fi
}

# Runs a command inside a node, bounded in time (VEK_NODE_TIMEOUT seconds, default 60; 0 for
# the node's long-running processes).
node_run() {
    local node=$1
    shift
    timeout "${VEK_NODE_TIMEOUT:-60}" nsenter -t "${VEK_NODE_PID[$node]}" -n -m -u -- "$@"
}

node_sh() {
    local node=$1
    shift
    node_run "$node" bash -euo pipefail -c "$*"
}

# Mounts, files and identity of one node, run inside it.
node_setup_inside() {
    local node=$1 peer=${VEK_NODE_PEER[$1]}
    local peer_addr=${VEK_NODE_ADDR[$peer]}
    node_sh "$node" "
        mount -t tmpfs -o size=256m vek-var-$node /vek_var
        mount -t tmpfs -o size=64m vek-tmp-$node /vek_tmp
        mount -t tmpfs -o size=64m vek-node-$node /vek_node
        touch /vek_var/VEK_I_AM_$node
        hostname vek-node-${node,,}
        mkdir -p /vek_tmp/etc /vek_tmp/ssh /vek_tmp/root/.ssh /vek_tmp/$VEK_NODES_ACCOUNT
        chmod 700 /vek_tmp/root /vek_tmp/root/.ssh

        printf '127.0.0.1 localhost\n${VEK_NODE_ADDR[$node]} vek-node-$node\n$peer_addr $VEK_NODES_ALIAS\n' \
            > /vek_tmp/etc/hosts
        sed 's|^root:\([^:]*\):0:0:\([^:]*\):[^:]*:|root:\1:0:0:\2:/vek_tmp/root:|' /etc/passwd \
            > /vek_tmp/etc/passwd
        echo '$VEK_NODES_ACCOUNT:x:$VEK_NODES_FETCH_UID:$VEK_NODES_FETCH_UID:RIR peer fetch:/vek_tmp/$VEK_NODES_ACCOUNT:/bin/sh' \
            >> /vek_tmp/etc/passwd
        cp /etc/group /vek_tmp/etc/group
        echo '$VEK_NODES_ACCOUNT:x:$VEK_NODES_FETCH_UID:' >> /vek_tmp/etc/group
        for f in hosts passwd group; do mount --bind /vek_tmp/etc/\$f /etc/\$f; done

        # A private /dev: the devices the node's programs use, a plain file as kernel log.
        mount -t tmpfs -o size=1m,mode=755 vek-dev-$node /dev
        mknod -m 666 /dev/null c 1 3
        mknod -m 666 /dev/zero c 1 5
        mknod -m 666 /dev/random c 1 8
        mknod -m 666 /dev/urandom c 1 9
        mknod -m 666 /dev/tty c 5 0
        ln -s /proc/self/fd /dev/fd
        ln -s /proc/self/fd/0 /dev/stdin
        ln -s /proc/self/fd/1 /dev/stdout
        ln -s /proc/self/fd/2 /dev/stderr
        : > /dev/kmsg
        mount -t tmpfs -o size=1m,mode=755 vek-run-$node /run
        mkdir -m 755 /run/sshd

        ip link set lo up
    "
}

node_sshd_config() {
    local node=$1
    cat <<EOF
Port 22
ListenAddress ${VEK_NODE_ADDR[$node]}
HostKey /vek_tmp/ssh/host_ed25519
PidFile /vek_tmp/ssh/sshd.pid
AuthorizedKeysFile /vek_tmp/ssh/authorized_keys
AllowUsers $VEK_NODES_ACCOUNT
PermitRootLogin no
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
}

# In the foreground of a background job of this shell, so that this shell reaps it (a daemon
# would be handed to the machine's init, which may never reap it).
node_sshd_start() {
    local node=$1
    VEK_NODE_TIMEOUT=0 node_run "$node" setsid /usr/sbin/sshd -D -f /vek_tmp/ssh/sshd_config \
        -E /vek_tmp/ssh/sshd.log </dev/null >/dev/null 2>&1 &
    local i
    for i in $(seq 50); do
        node_sh "$node" "[ -s /vek_tmp/ssh/sshd.pid ]" && return 0
        sleep 0.1
    done
    nodes_say "sshd of node $node did not start"
    return 1
}

node_sshd_stop() {
    local node=$1
    node_sh "$node" 'pid=$(cat /vek_tmp/ssh/sshd.pid); rm -f /vek_tmp/ssh/sshd.pid; kill $pid
                     for i in $(seq 50); do kill -0 $pid 2>/dev/null || exit 0; sleep 0.1; done
                     exit 1'
}

# Brings both nodes up with their collectors and OpenSSH servers; no RIR server yet.
nodes_up() {
    VEK_NODES_BUILD=$(cd "$1" && pwd)
    nodes_check "$VEK_NODES_BUILD" || return 1
    mkdir -p /vek_var /vek_tmp /vek_node
    local node
    for node in A B; do
        unshare --net --mount --uts --propagation private sleep infinity &
        VEK_NODE_PID[$node]=$!
    done
    local own_net
    own_net=$(readlink /proc/self/ns/net)
    for node in A B; do
        local i
        for i in $(seq 50); do
            VEK_NODE_NS[$node]=$(readlink "/proc/${VEK_NODE_PID[$node]}/ns/net" 2>/dev/null || true)
            [[ -n ${VEK_NODE_NS[$node]} && ${VEK_NODE_NS[$node]} != "$own_net" ]] && break
            sleep 0.1
        done
        if [[ -z ${VEK_NODE_NS[$node]} || ${VEK_NODE_NS[$node]} == "$own_net" ]]; then
            VEK_NODE_NS[$node]=
            nodes_say "node $node did not get its own namespaces"
            return 1
        fi
        node_setup_inside "$node" || return 1
    done

    node_run A ip link add vek-rir-a type veth peer name vek-rir-b netns "${VEK_NODE_PID[B]}" || return 1
    for node in A B; do
        local dev=vek-rir-${node,,}
        node_sh "$node" "ip addr add ${VEK_NODE_ADDR[$node]}/24 dev $dev && ip link set $dev up" || return 1
    done

    for node in A B; do
        node_sh "$node" "ssh-keygen -q -t ed25519 -N '' -C 'vek-node-$node host' -f /vek_tmp/ssh/host_ed25519
                         ssh-keygen -q -t ed25519 -N '' -C 'root@vek-node-$node' -f /vek_tmp/root/.ssh/id_ed25519" ||
            return 1
        node_sshd_config "$node" | node_sh "$node" 'cat > /vek_tmp/ssh/sshd_config' || return 1
    done
    # Each node's fetch key may log in as the fetch account on the other.
    for node in A B; do
        node_run "$node" cat /vek_tmp/root/.ssh/id_ed25519.pub |
            node_sh "${VEK_NODE_PEER[$node]}" 'cat > /vek_tmp/ssh/authorized_keys; chmod 644 /vek_tmp/ssh/authorized_keys' ||
            return 1
    done

    for node in A B; do
        VEK_NODE_TIMEOUT=0 node_run "$node" setsid "$VEK_NODES_BUILD/bin/vek_rir_log_sink" /dev/log /vek_tmp/syslog \
            </dev/null >/dev/null 2>&1 &
        node_sshd_start "$node" || return 1
    done
    for node in A B; do
        local i
        for i in $(seq 50); do
            node_sh "$node" '[ -S /dev/log ]' && break
            sleep 0.1
        done
    done
}

# Starts the node's RIR server (no runtime: it runs until nodes_down stops it with SIGTERM) and
# waits until it answers.
node_serve() {
    local node=$1
    VEK_NODE_TIMEOUT=0 node_run "$node" setsid "$VEK_NODES_BUILD/bin/vek_rir" -o rir_serve </dev/null \
        >/dev/null 2>&1 &
    local i
    for i in $(seq 50); do
        [[ $(node_tool "$node" -o rir_run -A nothing -O 1) == "nothing: ok" ]] && return 0
        sleep 0.1
    done
    nodes_say "the RIR server of node $node does not answer"
    return 1
}

node_tool() {
    local node=$1
    shift
    node_run "$node" "$VEK_NODES_BUILD/bin/vek_rir" "$@"
}

node_probe() {
    local node=$1
    shift
    node_run "$node" "$VEK_NODES_BUILD/bin/vek_rir_probe" "$@"
}

# Process ids of everything inside a node's network namespace. (Written to work under set -e,
# like everything here: the demo runs with it.)
node_pids() {
    local ns p
    ns=${VEK_NODE_NS[$1]:-}
    if [[ -z $ns ]]; then
        return 0
    fi
    for p in /proc/[0-9]*; do
        if [[ $(readlink "$p/ns/net" 2>/dev/null) == "$ns" ]]; then
            echo "${p#/proc/}"
        fi
    done
    return 0
}

# The node's RIR servers still running.
node_servers() {
    local p
    for p in $(node_pids "$1"); do
        if [[ $(cat "/proc/$p/comm" 2>/dev/null) == vek_rir ]]; then
            echo "$p"
        fi
    done
    return 0
}

# Stops the RIR servers cleanly (their final duties run), then ends every process of both
# nodes. Safe to call more than once and after a failure halfway.
nodes_down() {
    local node p i left pids signal
    for node in A B; do
        if [[ -n ${VEK_NODE_PID[$node]:-} ]]; then
            for p in $(node_servers "$node"); do
                kill -TERM "$p" 2>/dev/null || true
            done
        fi
    done
    for i in $(seq 100); do
        left=
        for node in A B; do
            if [[ -n ${VEK_NODE_PID[$node]:-} ]]; then
                left+=$(node_servers "$node")
            fi
        done
        if [[ -z $left ]]; then
            break
        fi
        sleep 0.1
    done
    # The rest is asked to end first, so that the OpenSSH servers reap their sessions, then
    # whatever is left is killed.
    for signal in TERM KILL; do
        for node in A B; do
            if [[ -n ${VEK_NODE_PID[$node]:-} ]]; then
                pids=$(node_pids "$node")
                if [[ -n $pids ]]; then
                    kill -$signal $pids 2>/dev/null || true
                fi
            fi
        done
        if [[ $signal == TERM ]]; then
            sleep 0.5
        fi
    done
    for node in A B; do
        if [[ -n ${VEK_NODE_PID[$node]:-} ]]; then
            wait "${VEK_NODE_PID[$node]}" 2>/dev/null || true
            VEK_NODE_PID[$node]=
            VEK_NODE_NS[$node]=
        fi
    done
    return 0
}
