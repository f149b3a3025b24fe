#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and demo the updater.
# Idempotent: packages already present are left alone. Run as root on Debian 12.
set -euo pipefail

packages=(
    build-essential
    cmake
    ninja-build
    pkg-config
    libusb-1.0-0-dev
    libhidapi-dev
    libcurl4-openssl-dev
    zlib1g-dev
    libudev-dev
    libgtest-dev
    libgmock-dev
    libcpp-httplib-dev
    libssl-dev
    openssl
    umockdev
    libumockdev-dev
    iproute2
    usbutils
    udev
    util-linux
    procps
    curl
    time
    coreutils
    clang
    clang-format
    nlohmann-json3-dev
    lintian
    man-db
    bash-completion
    dpkg-dev
    libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "install-deps: all packages present"
