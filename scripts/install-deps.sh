#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, if missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libpcap-dev libgtest-dev libgmock-dev
          iproute2 util-linux tcpdump clang libclang-rt-14-dev valgrind gnuplot-nox)
# spweth-gateway: Asio (standalone) for TCP and CLI11 for its command line, header-only.
packages+=(libasio-dev libcli11-dev)
# spweth-demo: CLI11 too, nlohmann-json for its --json output; tmux for the
# test of its monitor.
packages+=(nlohmann-json3-dev tmux)
# The gateway's web view: HTTP (cpp-httplib), Chart.js served to the page,
# and the browser test (headless Chromium driven by Selenium).
packages+=(libcpp-httplib-dev libjs-chart.js chromium chromium-driver python3-selenium)
# The Debian packages' test.
packages+=(dpkg-dev file lintian man-db)
# systemd-analyze, which checks the gateway's service unit in the package test.
packages+=(systemd)
# The Wireshark dissector's tests. tshark runs Lua scripts given with -X also
# as root (Debian's init.lua sets run_user_scripts_when_superuser).
packages+=(tshark python3)
# The Python package's tests (pytest, the link monitor's plot, pip install into a
# venv, mypy --strict on the package).
packages+=(python3-pytest python3-matplotlib python3-setuptools python3-wheel python3-venv mypy)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
