#!/bin/sh
# Runs the tests that start no server as an account that is not root
# (nobody, or QS_TEST_USER), the way a contributor without root runs them:
# what needs root is skipped with its reason, and nothing may fail.
# Usage: test-unprivileged.sh [build-directory [jobs]]
#
# The build tree is only read. ctest writes beside its test lists, so the
# lists are copied into a private directory that the account owns, with its
# HOME and TMPDIR; the directory is removed at the end.
set -eu
build=${1:-build}
jobs=${2:-2}
user=${QS_TEST_USER:-nobody}
build=$(cd "$build" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    cd "$build"
    exec ctest -LE peers -j"$jobs" --output-on-failure
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
# Only the account's own directory below is open to it.
chmod 711 "$work"
install -d -o "$user" -m 700 "$work/run"
runuser -u "$user" -- mkdir "$work/run/home" "$work/run/tmp" "$work/run/tests"
# The test lists, in their directories (each includes the lists of the
# test binaries by their absolute paths in the build tree).
(cd "$build" && find . -name CTestTestfile.cmake) | while read -r list; do
    dir=$(dirname "$list")
    runuser -u "$user" -- mkdir -p "$work/run/tests/$dir"
    runuser -u "$user" -- cp "$build/$list" "$work/run/tests/$dir/"
done
echo "test-unprivileged: the tests without servers as $user"
runuser -u "$user" -- env HOME="$work/run/home" TMPDIR="$work/run/tmp" \
    ctest --test-dir "$work/run/tests" -LE peers -j"$jobs" --output-on-failure
