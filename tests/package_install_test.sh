#!/usr/bin/env bash
# Installs the built Debian packages as a new machine would, and changes nothing of this one:
# in private mount and network namespaces, over an overlay of / whose upper layer is a tmpfs
# thrown away at the end, with a /dev, /run, /tmp, /vek_var and /vek_tmp of its own. In that
# root it runs apt-get install of the .deb files, then checks as a new user would: the group,
# /vek_var with its owner and mode, the enabled unit, root and a member of the group logging
# and reading, an account outside the group refused, a C program built with pkg-config and a
# Python program logging through the installed module; then apt-get purge removes the
# programs, the unit, the library and the module and leaves the records in /vek_var.
# Usage: package_install_test.sh DEB_DIR (the four .deb files of scripts/package). Needs root.
set -uo pipefail
if [[ ${VEK_RIR_PKGTEST_INSIDE:-} != 1 ]]; then
    debs=$(cd "${1:?usage: package_install_test.sh DEB_DIR}" && pwd)
    count=$(find "$debs" -maxdepth 1 -name '*.deb' | wc -l)
    ((count == 4)) || { echo "FAIL - $debs holds $count .deb files, not the four of scripts/package"; exit 1; }
    for tool in apt-get chroot unshare setpriv useradd cc pkg-config; do
        command -v $tool >/dev/null || { echo "FAIL - $tool is missing (scripts/test installs it)"; exit 1; }
    done
    work=$(mktemp -d /tmp/vek-rir-pkgtest.XXXXXX)
    VEK_RIR_PKGTEST_INSIDE=1 timeout 280 unshare --mount --net --propagation private \
        bash "$0" "$debs" "$work"
    rc=$?
    rmdir "$work" 2>/dev/null || true
    ((rc == 124)) && echo "FAIL - the install test did not finish within 280 s"
    exit $rc
fi
debs=$1 work=$2
set -e
# Everything written from here on lands on this tmpfs, gone with the namespace.
mount -t tmpfs -o size=1g,mode=0700 pkgtest "$work"
mkdir "$work/upper" "$work/overlay-work" "$work/root"
mount -t overlay pkgtest-root -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" \
    "$work/root"
root=$work/root
mount -t proc proc "$root/proc"
for dir in tmp run vek_var vek_tmp; do
    mkdir -p "$root/$dir"
    mount -t tmpfs -o size=512m,mode=0755 "pkgtest-$dir" "$root/$dir"
done
chmod 1777 "$root/tmp" "$root/vek_tmp"
mount -t tmpfs -o size=1m,mode=0755 pkgtest-dev "$root/dev"
# Made afresh, so their modes are the usual ones whatever the host's are.
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
: >"$root/dev/kmsg"
# dpkg and apt log through a terminal of their own: a devpts instance of this namespace.
mkdir "$root/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666 pkgtest-pts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mkdir "$root/tmp/debs"
cp "$debs"/*.deb "$root/tmp/debs/"
set +e

env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    chroot "$root" /bin/bash -s <<'INSIDE'
set -u
failures=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}
quiet() { "$@" >>/tmp/commands.log 2>&1; }
as() { # as USER COMMAND...: with the user's own groups, as a login would give them
    local user=$1
    shift
    setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups "$@"
}
live=/vek_var/vek-rir-local.bin
dumped() { vek_rir -o rir_dump -M $live | grep -qE "\| *$1\|$2\$"; }

start=$SECONDS
if ! quiet apt-get install -y /tmp/debs/*.deb; then
    echo "FAIL - apt-get install of the packages"
    tail -n 40 /tmp/commands.log
    exit 1
fi
echo "ok   - apt-get install of the four packages ($((SECONDS - start)) s)"

check "the group vek-rir exists" quiet getent group vek-rir
check "/vek_var belongs to root:vek-rir with mode 3775" \
    test "$(stat -c '%a %U:%G' /vek_var)" = "3775 root:vek-rir"
check "the lock file and the live log are the group's (0660, 0664)" \
    test "$(stat -c '%a %U:%G' /vek_var/vek-rir-lock.bin $live | tr '\n' ' ')" = \
    "660 root:vek-rir 664 root:vek-rir "
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/vek-rir.service
check "systemctl says the unit is enabled" test "$(systemctl is-enabled vek-rir.service 2>&1)" = enabled
check "the shipping unit is installed and left for the operator to enable" \
    test -f /lib/systemd/system/vek-rir-export.service -a \
    ! -e /etc/systemd/system/multi-user.target.wants/vek-rir-export.service
check "the shipping examples are installed" test -f /usr/share/doc/vek-rir/examples/vek-rir-node.conf -a \
    -f /usr/share/doc/vek-rir/examples/vek-rir-central.conf -a -f /usr/share/doc/vek-rir/examples/vek-rir-export.logrotate \
    -a -f /usr/share/doc/vek-rir/examples/vek-rir-central-count.jq

check "root adds a record" quiet vek_rir -o rir_add -C START -I pkg.root -t "from root"
check "root dumps it" dumped pkg.root "from root"

useradd -M -N -G vek-rir member && useradd -M -N outsider
check "a member of vek-rir adds a record" quiet as member vek_rir -o rir_add -I pkg.member -t "from a member"
check "a member dumps the log" as member sh -c "vek_rir -o rir_dump -M $live | grep -q 'from a member'"
before=$(md5sum <$live)
refused=$(as outsider vek_rir -o rir_add -I pkg.outsider -t "from outside")
check "an account outside the group cannot add" \
    test "$refused" = "rir_add failed: unable to open RIR lock file at /vek_var/vek-rir-lock.bin"
written=$(as outsider sh -c "echo x >>$live" 2>&1)
check "nor write the live log itself" \
    test "$?" != 0 -a "$written" = "sh: 1: cannot create $live: Permission denied"
check "the log is as it was" test "$(md5sum <$live)" = "$before"

cat >/tmp/program.c <<'PROGRAM'
#include <vek_os/vek_rir_if.h>
int main(void)
{
    vek_rir_failure_info_t failure_info;
    if (vek_rir_if_world_init(&failure_info) != VEK_RIR_RC_OK) {
        printf("%s\n", vek_rir_failure_info_text(&failure_info));
        return 1;
    }
    if (vek_rir_if_record_add(&failure_info, VEK_RIR_FLAGS_NONE, VEK_RIR_CLASS_EVENT, 7,
                              "pkg.c", "from C") != VEK_RIR_RC_OK)
        return 2;
    return vek_rir_if_world_deinit(&failure_info) == VEK_RIR_RC_OK ? 0 : 3;
}
PROGRAM
# shellcheck disable=SC2046
check "a C program builds with pkg-config against the -dev package" \
    quiet cc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags vek_rir) /tmp/program.c \
    -o /tmp/program $(pkg-config --libs vek_rir)
check "and logs as a member of the group" quiet as member /tmp/program
check "its record is in the log" dumped pkg.c "from C"

check "python3 imports vek_rir" python3 -c 'import vek_rir'
check "a Python program logs through the handler as a member" quiet as member python3 -c '
import logging, vek_rir
logging.getLogger("pkg.python").addHandler(vek_rir.Handler())
logging.getLogger("pkg.python").warning("from %s", "Python")'
check "records() reads it back as the export would" python3 -c '
import vek_rir
got = [(r["class"], r["identity"], r["text"]) for r in vek_rir.records("/vek_var/vek-rir-local.bin")]
assert ("EVENT", "pkg.python", "from Python") in got, got'

start=$SECONDS
if ! quiet apt-get purge -y vek-rir libvek-rir1 libvek-rir-dev python3-vek-rir; then
    echo "FAIL - apt-get purge"
    tail -n 40 /tmp/commands.log
    exit 1
fi
echo "ok   - apt-get purge of the four packages ($((SECONDS - start)) s)"
for gone in /usr/bin/vek_rir /usr/bin/vek_rir_export /lib/systemd/system/vek-rir.service \
    /etc/systemd/system/multi-user.target.wants/vek-rir.service \
    /usr/lib/x86_64-linux-gnu/libvek_rir.so.1 /usr/include/vek_os \
    /usr/lib/python3/dist-packages/vek_rir.py; do
    check "purge removed $gone" test ! -e "$gone" -a ! -L "$gone"
done
check "purge removed every unit of ours" \
    test -z "$(find /lib/systemd/system /usr/lib/systemd/system /etc/systemd/system -name 'vek-rir*' 2>/dev/null)"
check "purge left no compiled module behind" \
    test -z "$(find /usr/lib/python3/dist-packages -name 'vek_rir*' 2>/dev/null)"
check "no package of ours is left" \
    test -z "$(dpkg-query -W -f '${Status} ${Package}\n' 2>/dev/null | grep -E 'installed (vek-rir|libvek-rir|python3-vek-rir)')"
check "purge kept the live log" test "$(stat -c %s $live 2>/dev/null)" = 3145728
check "with its records" sh -c "grep -a -q 'from root' $live && grep -a -q 'from Python' $live"
check "purge kept the lock file" test -e /vek_var/vek-rir-lock.bin
echo "failures: $failures"
exit $((failures > 0))
INSIDE
