#!/usr/bin/env bash
# Builds the Debian package of this build into a temporary folder and checks
# it with lintian (no error, no warning) and for its declared dependencies.
#
#   check-package.sh BUILD
# Skipped (77) without cpack's helpers: dpkg-deb, dpkg-shlibdeps or lintian.
set -u
build=$(cd "${1:?build folder}" && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tact-package-test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# cpack writes the package into packages/ below the current folder.
if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
deb=$(echo "$work"/packages/*.deb)
[[ -f $deb ]] || { echo "FAIL: no package in $work/packages"; exit 1; }

failures=0
# lintian warns when it runs as root; its findings are the lines "X: tact: ...".
found=$(lintian --fail-on none "$deb" 2>/dev/null | grep -E '^[EW]: ')
[[ -z $found ]] || { echo "FAIL: lintian:"$'\n'"$found"; failures=$((failures + 1)); }
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libsystemd0 libplist3; do
    [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] ||
        { echo "FAIL: the package does not depend on $lib: $depends"; failures=$((failures + 1)); }
done
((failures)) && exit 1
echo "$(basename "$deb"): lintian finds no error or warning"
