#!/usr/bin/env bash
# Installs what building, running and testing Valdane needs on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
    build-essential cmake ninja-build pkg-config \
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-translations-l10n libgl-dev \
    libbenchmark-dev libgtest-dev fonts-wqy-microhei \
    libmicrohttpd-dev libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev libcurl4-openssl-dev \
    libsqlite3-dev libtomlplusplus-dev nlohmann-json3-dev libpsl-dev libidn2-dev libre2-dev \
    libpq-dev postgresql \
    xvfb xauth clang libclang-rt-14-dev llvm >/dev/null
# The package check (tools/check-package.sh): dpkg-shlibdeps and file compute the package's
# dependencies; the menu entry, AppStream data, manual pages and service unit get validated;
# lintian checks the package as Debian checks its own.
$SUDO apt-get install -y -qq --no-install-recommends \
    dpkg-dev file desktop-file-utils appstream man-db systemd lintian >/dev/null
