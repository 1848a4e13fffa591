#!/bin/sh
# Installs the Debian packages that building, running and packaging the
# programs need ("install-deps.sh build", the default), those and what the
# benchmark of `make bench` runs ("bench"), those and clang with its fuzzer
# and sanitizer runtime and symbolizer for the fuzz targets ("fuzz"), or all
# of the build and fuzz sets and what the tests need besides
# ("install-deps.sh test"): the formatter, the manual-page linter, the X
# tools of the window tests and the servers that the peer tests start
# themselves (sshd, inetd with in.rshd and in.rexecd). A server package
# installed here is left with its system service disabled and not running,
# since the tests start private instances and nobody asked for remote
# shells on this machine; one that was here before is left as it was.
# Runs apt-get only when something is missing, so a second call is quick.
set -eu
mode=${1:-build}
BUILD_PACKAGES="build-essential dpkg-dev cmake libgtest-dev libgmock-dev libbenchmark-dev \
  libmotif-dev libxpm-dev libxt-dev libx11-dev libxext-dev \
  libc-bin locales coreutils tar gzip openssh-client"
TEST_PACKAGES="clang-format mandoc cpio lz4 bc python3 xvfb xdotool imagemagick x11-utils \
  twm xfonts-base xfonts-75dpi \
  openssh-server openbsd-inetd rsh-server rsh-client"
BENCH_PACKAGES="python3 lz4 time e2fsprogs mount diffutils"
FUZZ_PACKAGES="clang libclang-rt-14-dev llvm"
# Packages that bring a server, and the services each would enable.
SERVER_SERVICES="openssh-server:ssh.service,ssh.socket,ssh openbsd-inetd:inetd.service,openbsd-inetd"

case $mode in
build) PACKAGES=$BUILD_PACKAGES ;;
bench) PACKAGES="$BUILD_PACKAGES $BENCH_PACKAGES" ;;
fuzz) PACKAGES="$BUILD_PACKAGES $FUZZ_PACKAGES" ;;
test) PACKAGES="$BUILD_PACKAGES $TEST_PACKAGES $FUZZ_PACKAGES" ;;
*)
    echo "usage: $0 [build|bench|fuzz|test]" >&2
    exit 2
    ;;
esac

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi

# Services of the packages installed now must not start during the
# installation: a policy that refuses them, unless the system has one.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# quillset install-deps: no service starts while it installs.\nexit 101\n' >"$policy.qs$$"
    chmod 755 "$policy.qs$$"
    mv "$policy.qs$$" "$policy"
    made_policy=1
fi
cleanup() { [ -z "$made_policy" ] || rm -f "$policy"; }
trap cleanup EXIT
trap 'exit 1' INT TERM

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing

# Disables (and stops, where systemd runs) a service by name.
disable_service() {
    if command -v systemctl >/dev/null 2>&1; then
        if [ -d /run/systemd/system ]; then
            systemctl disable --now "$1" >/dev/null 2>&1 || true
        else
            systemctl disable "$1" >/dev/null 2>&1 || true
        fi
    fi
    if [ -x "/etc/init.d/$1" ] && command -v update-rc.d >/dev/null 2>&1; then
        update-rc.d "$1" disable >/dev/null 2>&1 || true
    fi
}

for entry in $SERVER_SERVICES; do
    package=${entry%%:*}
    case " $missing " in *" $package "*) ;; *) continue ;; esac
    echo "install-deps: $package installed with its service disabled"
    for service in $(echo "${entry#*:}" | tr ',' ' '); do disable_service "$service"; done
done
# in.rshd and in.rexecd are started by an inetd that reads /etc/inetd.conf;
# the entries rsh-server added there stay switched off.
case " $missing " in
*" rsh-server "*)
    if command -v update-inetd >/dev/null 2>&1; then
        update-inetd --disable shell,login,exec >/dev/null 2>&1 || true
    fi
    ;;
esac
