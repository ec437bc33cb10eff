#!/usr/bin/env bash
# Runs the Python module's tests (Debian's python3-pytest) against a build's library and tool,
# in private mount and network namespaces: tmpfs on /vek_var and /vek_tmp, and a /dev of its
# own with /dev/kmsg a plain file the tests read back, so nothing of the host's log, kernel log
# or system directories is touched. Only the empty mount points /vek_var and /vek_tmp are ever
# created on the host.
# Usage: python/tests/run.sh BUILD_DIR [pytest arguments...]. Needs root.
set -euo pipefail
# Debian's interpreter, which python3-pytest and the package serve, whatever else is on PATH.
python=${VEK_RIR_PYTHON:-/usr/bin/python3}
if [[ ${VEK_RIR_PYTEST_INSIDE:-} != 1 ]]; then
    "$python" -c 'import pytest' 2>/dev/null ||
        { echo "FAIL - pytest is not installed (scripts/test installs python3-pytest)"; exit 1; }
    mkdir -p /vek_var /vek_tmp
    VEK_RIR_PYTEST_INSIDE=1 exec timeout 110 unshare --mount --net --propagation private \
        bash "$0" "$@" ||
        { echo "FAIL - cannot enter private mount and network namespaces (needs root)"; exit 1; }
fi
build=$(cd "$1" && pwd)
shift
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
mount -t tmpfs -o size=512m,mode=0755 pytest-var /vek_var
mount -t tmpfs -o size=64m,mode=1777 pytest-tmp /vek_tmp
# A /dev of our own, staged in /vek_tmp and moved over the real one.
stage=/vek_tmp/dev
mkdir -m 0755 $stage
mount -t tmpfs -o size=1m,mode=0755 pytest-dev $stage
# Made afresh, so their modes are the usual ones whatever the host's are.
mknod -m 666 $stage/null c 1 3
mknod -m 666 $stage/zero c 1 5
mknod -m 666 $stage/random c 1 8
mknod -m 666 $stage/urandom c 1 9
: >$stage/kmsg
ln -s /proc/self/fd $stage/fd
ln -s /proc/self/fd/0 $stage/stdin
ln -s /proc/self/fd/1 $stage/stdout
ln -s /proc/self/fd/2 $stage/stderr
mount --move $stage /dev
export VEK_RIR_LIBRARY=$build/lib/libvek_rir.so.1
export VEK_RIR_TOOL=$build/bin/vek_rir
export VEK_RIR_EXPORT_TOOL=$build/bin/vek_rir_export
export PYTHONPATH=$source_dir/python${PYTHONPATH:+:$PYTHONPATH}
export PYTHONDONTWRITEBYTECODE=1
# The tests start Python children of their own; they get the same interpreter first on PATH.
export PATH=$(dirname "$python"):$PATH
cd /vek_tmp
exec "$python" -m pytest -p no:cacheprovider -q "$source_dir/python/tests" "$@"
