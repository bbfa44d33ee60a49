#!/usr/bin/env bash
# Builds the Debian package in a build folder, installs it as a user would, checks the installed
# files and programs, then purges it and checks that none of its files is left.
# Usage: tools/check-package.sh [build folder, default "build"]. Installs into the running
# system (uses sudo when not root): meant for CI's throw-away machine or a test machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

app_id=$(sed -n 's/^set(VALDANE_APP_ID "\(.*\)")$/\1/p' CMakeLists.txt)
port=8936 # of the built-in service address
work=$(mktemp -d)
installed=no
pids=()

fail() {
    echo "check-package: $*" >&2
    exit 1
}

# The ids of the processes whose parent is $1 (procps may be missing on a bare machine).
children() {
    local stat line ppid
    for stat in /proc/[0-9]*/stat; do
        read -r line 2>/dev/null <"$stat" || continue
        read -r _ ppid _ <<<"${line##*) }"
        if [ "$ppid" = "$1" ]; then
            line=${stat#/proc/}
            echo "${line%/stat}"
        fi
    done
}

cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ "$installed" = yes ]; then $SUDO apt-get remove --purge -y -qq valdane >/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

if dpkg -s valdane >/dev/null 2>&1; then
    fail "a valdane package is installed already; remove it first"
fi

# The program looks for valdane-service in the folders it was built for, so the package is
# built for /usr.
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" --target valdane valdane-service

echo "check-package: installing under another prefix"
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
outside=$(grep -E '^-- (Installing|Up-to-date): ' "$work/install.log" | sed 's/^-- [^:]*: //' |
    grep -v "^$work/prefix/" || true)
[ -z "$outside" ] || fail "cmake --install --prefix wrote outside the prefix: $outside"
grep -qx "ExecStart=$work/prefix/bin/valdane-service .*" \
    "$work/prefix/lib/systemd/system/valdane-service.service" ||
    fail "the unit installed under another prefix does not start that prefix's valdane-service"

rm -f "$build"/valdane_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/valdane_*_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one valdane_<version>_<arch>.deb"
version=$(dpkg-deb -f "${debs[0]}" Version)
changelog=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
[ "$version" = "$changelog" ] ||
    fail "the package is version $version, its changelog's newest entry $changelog"

echo "check-package: lintian"
# Errors and warnings fail the check: a tag the package must accept goes into a lintian
# overrides file it ships (usr/share/lintian/overrides/valdane), each with its reason.
lintian --fail-on error,warning --display-info "${debs[0]}"

installed=yes
$SUDO apt-get install -y -qq "$(realpath "${debs[0]}")" >/dev/null
dpkg-query -L valdane >"$work/files"

echo "check-package: installed files"
desktop-file-validate "/usr/share/applications/$app_id.desktop"
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml" >/dev/null ||
    appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml"
for size in 16 32 48 128 256; do
    file "/usr/share/icons/hicolor/${size}x$size/apps/$app_id.png" |
        grep -q "PNG image data, $size x $size," || fail "no $size-pixel icon"
done
for page in valdane valdane-service; do
    warnings=$(man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $page: $warnings"
done
[ -f /etc/valdane/service.toml ] || fail "no /etc/valdane/service.toml"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /lib/systemd/system/valdane-service.service
    state=$(systemctl is-enabled valdane-service.service 2>/dev/null || true)
    [ "$state" = disabled ] || fail "the service unit is to be installed, not enabled; is '$state'"
fi

echo "check-package: installed programs"
/usr/bin/valdane-service --version >"$work/version" || fail "valdane-service --version failed"
[ -s "$work/version" ] || fail "valdane-service --version printed nothing"

# A fresh user, no display, nothing at the built-in service address.
mkdir -p -m 700 "$work/home" "$work/tmp"
user_env=(env -u VALDANE_MAKER_URL -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home"
    XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
    XDG_RUNTIME_DIR="$work/tmp" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen)
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    fail "something listens on 127.0.0.1:$port already; cannot check that valdane starts its service"
fi
probe=$("${user_env[@]}" VALDANE_STARTUP_PROBE=1 timeout 60 /usr/bin/valdane) ||
    fail "the installed valdane did not start"
grep -q "^window shown" <<<"$probe" || fail "the installed valdane did not show its window"
[ -f "$work/home/config/valdane/Config.ini" ] ||
    fail "no settings in \$XDG_CONFIG_HOME/valdane/Config.ini"
if [ -n "$(find /usr/bin -newer "$work/files" ! -type d | grep -vxFf "$work/files")" ]; then
    fail "the installed valdane wrote beside itself in /usr/bin"
fi

# The program starts the installed valdane-service as its child when nothing answers.
"${user_env[@]}" /usr/bin/valdane >"$work/valdane.log" 2>&1 &
pids+=($!)
service=""
for _ in $(seq 150); do
    for child in $(children "${pids[0]}"); do
        if [ "$(readlink "/proc/$child/exe" || true)" = /usr/bin/valdane-service ]; then
            service=$child
        fi
    done
    [ -n "$service" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.2
done
[ -n "$service" ] || fail "valdane did not start /usr/bin/valdane-service"
pids+=("$service")
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null ||
    fail "the valdane-service started by valdane does not listen on 127.0.0.1:$port"
kill "${pids[@]}" 2>/dev/null || true
wait "${pids[0]}" 2>/dev/null || true
pids=()

echo "check-package: removal"
$SUDO apt-get remove --purge -y -qq valdane >/dev/null
installed=no
left=""
while read -r path; do
    if [ -e "$path" ] && [ ! -d "$path" ]; then left+=" $path"; fi
done <"$work/files"
for dir in /etc/valdane /usr/share/doc/valdane /var/lib/valdane; do
    if [ -e "$dir" ]; then left+=" $dir"; fi
done
[ -z "$left" ] || fail "left behind after purge:$left"
[ -f "$work/home/config/valdane/Config.ini" ] || fail "the purge removed a user's settings"
echo "check-package: passed"
