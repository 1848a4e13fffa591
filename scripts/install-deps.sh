#!/bin/sh
# Installs every Debian package the build, the tests, the demo and the
# benchmark scripts need (clang, its fuzzer and sanitizer runtime and the
# symbolizer for the fuzz targets).
# Runs apt-get only when something is missing, so a second call is quick.
set -eu
PACKAGES="build-essential cmake libgtest-dev libgmock-dev libbenchmark-dev clang-format \
  clang libclang-rt-14-dev llvm \
  libc-bin locales cpio tar gzip lz4 coreutils bc python3 \
  openssh-server openssh-client openbsd-inetd rsh-server rsh-client \
  libmotif-dev libxpm-dev libxt-dev libx11-dev libxext-dev xvfb xdotool imagemagick x11-utils"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing
