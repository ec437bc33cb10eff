# Installs the named Debian packages that are missing, and only those. A package that brings a
# service (openssh-server) must not start it on the host: while installing, a policy that
# refuses every service start is put in place unless the machine already has one, and removed
# afterwards. Source this file, then: packages_install NAME...
packages_install() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    echo "installing: ${missing[*]}"
    local policy=/usr/sbin/policy-rc.d own_policy=0
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        own_policy=1
    fi
    local rc=0
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" || rc=$?
    ((own_policy)) && rm -f "$policy"
    return $rc
}
