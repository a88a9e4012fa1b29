#!/usr/bin/env bash
# The Debian package as the README builds it (cpack -G DEB in a build directory), made into a
# directory of its own and checked as a Debian maintainer would: lintian finds no error and no
# warning; and it holds the bash completion and the metrics units, the service running the
# packaged tarnvel-fw, confined so that systemd rates its exposure at most 3.0.
#
#   package_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2

if ! command -v lintian >/dev/null; then
    echo "lintian not found: scripts/install-deps installs it"
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL  cpack could not build the package"
    exit 1
fi
debs=("$work"/tarnvel-flash_*.deb)
deb=${debs[0]}
echo "package: ${deb##*/}"

passed=0
failed=0
# check WHAT COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok    $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
    fi
}

# lintian says on standard error that it runs as root; its findings go to standard output.
check "lintian: no error, no warning" lintian --fail-on error,warning "$deb"

dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/contents"
for path in ./etc/tarnvel/tarnvel-fw.toml ./usr/share/bash-completion/completions/tarnvel-fw \
    ./usr/lib/systemd/system/tarnvel-fw-metrics.service \
    ./usr/lib/systemd/system/tarnvel-fw-metrics.timer; do
    check "holds $path" grep -qxF "$path" "$work/contents"
done

dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$work" ./usr/lib/systemd/system
check "the service runs the packaged tarnvel-fw" \
    grep -qx 'ExecStart=/usr/sbin/tarnvel-fw metrics --output .*' \
    "$work/usr/lib/systemd/system/tarnvel-fw-metrics.service"

# The service as installed, confined: systemd's own rating of its exposure, from the unit files
# alone (no systemd needs to run), at most 3.0 of 10 (the threshold counts tenths).
if command -v systemd-analyze >/dev/null; then
    rated=0
    systemd-analyze security --offline=yes --root="$work" --threshold=30 \
        tarnvel-fw-metrics.service >"$work/security.log" 2>&1 || rated=$?
    level=$(sed -n 's/.*Overall exposure level for [^:]*: //p' "$work/security.log")
    check "the metrics service's exposure is at most 3.0: ${level:-not rated}" \
        test "$rated" -eq 0 -a -n "$level"
    ((rated == 0)) || cat "$work/security.log"
else
    failed=$((failed + 1))
    echo "FAIL  systemd-analyze not found: scripts/install-deps installs systemd"
fi

echo "$passed passed, $failed failed"
((failed == 0))
