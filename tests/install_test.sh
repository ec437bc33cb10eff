#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds against it as an appliance process
# would: a C program through pkg-config and a C++ program through find_package(vek_rir).
# It also applies the installed group and directory setup with systemd's own tools to an empty
# root and checks the unit's file-creation mask.
# Usage: install_test.sh <build dir> <C compiler> <C++ compiler>
set -euo pipefail
build=$1 cc=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for installed in bin/vek_rir bin/vek_rir_export lib/libvek_rir.so lib/libvek_rir.a include/vek_os/vek_rir_if.h \
    include/vek_os/vek_rir_defs.h include/vek_os/vek_rir_server.h lib/pkgconfig/vek_rir.pc \
    lib/cmake/vek_rir/vek_rirConfig.cmake lib/systemd/system/vek-rir.service \
    lib/systemd/system/vek-rir-export.service share/doc/vek_rir/examples/vek-rir-node.conf \
    share/doc/vek_rir/examples/vek-rir-central.conf share/doc/vek_rir/examples/vek-rir-export.logrotate \
    share/doc/vek_rir/examples/vek-rir-central-count.jq \
    lib/sysusers.d/vek-rir.conf lib/tmpfiles.d/vek-rir.conf \
    share/man/man1/vek_rir.1 share/man/man1/vek_rir_export.1 lib/python3/dist-packages/vek_rir.py; do
    [[ -e $prefix/$installed ]] || { echo "not installed: $installed"; exit 1; }
done
grep -q "^ExecStart=$prefix/bin/vek_rir -o rir_serve\$" "$prefix/lib/systemd/system/vek-rir.service" ||
    grep -q "^ExecStart=.*/bin/vek_rir -o rir_serve\$" "$prefix/lib/systemd/system/vek-rir.service" ||
    { echo "unit does not start the server"; exit 1; }
# Ready only once the log exists, watched, and with the metrics directory of the collector.
unit=$prefix/lib/systemd/system/vek-rir.service
grep -q '^Type=notify$' "$unit" && grep -q '^WatchdogSec=60$' "$unit" &&
    grep -q '^Environment=VEK_RIR_METRICS_DIR=/var/lib/prometheus/node-exporter$' "$unit" ||
    { echo "unit is not Type=notify with its watchdog and metrics directory"; exit 1; }
# The shipping unit follows the live log into the file the node's rsyslog reads, as a user
# that is not in the log's group.
grep -q "^ExecStart=/.*/bin/vek_rir_export --follow -o json --cursor-file /var/lib/vek-rir-export/cursor\$" \
    "$prefix/lib/systemd/system/vek-rir-export.service" &&
    grep -q '^DynamicUser=yes$' "$prefix/lib/systemd/system/vek-rir-export.service" &&
    ! grep -q '^SupplementaryGroups=' "$prefix/lib/systemd/system/vek-rir-export.service" ||
    { echo "the export unit does not follow the log as an unprivileged user"; exit 1; }
if command -v systemd-analyze >/dev/null; then
    # The unit names the configured prefix; verified against the binary installed here.
    sed "s|^ExecStart=/.*/bin/|ExecStart=$prefix/bin/|" "$prefix/lib/systemd/system/vek-rir-export.service" \
        >"$work/vek-rir-export.service"
    systemd-analyze verify --man=no "$work/vek-rir-export.service" ||
        { echo "systemd-analyze refuses the export unit"; exit 1; }
fi
# Nothing of the core's own is installed.
[[ ! -e $prefix/include/vek_rir ]] || { echo "internal headers installed: $(ls "$prefix/include/vek_rir")"; exit 1; }
# Who may log: the members of vek-rir write what the server (root, mask 0002) makes in /vek_var.
unit_umasks=$(grep -c '^UMask=' "$prefix/lib/systemd/system/vek-rir.service" || true)
[[ $unit_umasks == 1 ]] && grep -q '^UMask=0002$' "$prefix/lib/systemd/system/vek-rir.service" ||
    { echo "unit does not run with UMask=0002"; exit 1; }
# The setup files as systemd reads them, applied to an empty root: the sysusers.d file makes the
# group, the tmpfiles.d file /vek_var with the lock file, the live log and the fetch directory.
root=$work/root
mkdir -p "$root/etc"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\n' >"$root/etc/group"
systemd-sysusers --root="$root" "$prefix/lib/sysusers.d/vek-rir.conf" >/dev/null 2>&1 ||
    { echo "systemd-sysusers refused the sysusers.d file"; exit 1; }
gid=$(awk -F: '$1 == "vek-rir" { print $3 }' "$root/etc/group")
[[ $gid =~ ^[0-9]+$ ]] || { echo "the sysusers.d file makes no group vek-rir"; exit 1; }
systemd-tmpfiles --root="$root" --create "$prefix/lib/tmpfiles.d/vek-rir.conf" ||
    { echo "systemd-tmpfiles refused the tmpfiles.d file"; exit 1; }
made=$(cd "$root" && stat -c '%a %u:%g %F %n' vek_var vek_var/vek-rir-lock.bin \
    vek_var/vek-rir-local.bin vek_var/vek-rir-fetch)
expected="3775 0:$gid directory vek_var
660 0:$gid regular empty file vek_var/vek-rir-lock.bin
664 0:$gid regular empty file vek_var/vek-rir-local.bin
700 0:0 directory vek_var/vek-rir-fetch"
[[ $made == "$expected" ]] || { printf 'tmpfiles.d made:\n%s\nexpected:\n%s\n' "$made" "$expected"; exit 1; }

# The program touches no fixed path: it checks the interface's inline helpers and that the
# library's symbols resolve.
cat >"$work/program.c" <<'PROGRAM'
#include <vek_os/vek_rir_if.h>
#include <vek_os/vek_rir_server.h>
int main(void)
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    vek_rir_failure_info_set(&failure_info, "%s %d", "installed", 1);
    void *linked[] = {(void *)vek_rir_if_record_add, (void *)vek_rir_server_exec,
                      (void *)vek_rir_server_world_create, (void *)vek_rir_if_snap_free};
    printf("%s %d\n", vek_rir_failure_info_text(&failure_info), linked[0] && linked[1] && linked[2] && linked[3]);
    return 0;
}
PROGRAM

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags vek_rir) "$work/program.c" \
    -o "$work/c_program" $(pkg-config --libs vek_rir) -Wl,-rpath,"$prefix/lib"
[[ $("$work/c_program") == "installed 1 1" ]] || { echo "C program gave the wrong output"; exit 1; }

mkdir "$work/cxx"
cp "$work/program.c" "$work/cxx/program.cpp"
cat >"$work/cxx/CMakeLists.txt" <<'PROJECT'
cmake_minimum_required(VERSION 3.25)
project(vek_rir_consumer LANGUAGES CXX)
find_package(vek_rir 1 REQUIRED)
add_executable(cxx_program program.cpp)
target_link_libraries(cxx_program PRIVATE vek_rir::vek_rir)
PROJECT
cmake -S "$work/cxx" -B "$work/cxx/build" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cxx/build" >/dev/null
[[ $("$work/cxx/build/cxx_program") == "installed 1 1" ]] || { echo "C++ program gave the wrong output"; exit 1; }
echo "install test passed"
