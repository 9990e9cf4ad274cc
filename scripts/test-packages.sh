#!/usr/bin/env bash
# The Debian packages, end to end, on this machine (as root): builds them with
# CPack in a build folder, checks them with lintian, installs them with
# apt-get, uses them as a lab PC would, then purges them and checks that
# nothing of them is left. Nothing is sent on any network adapter: the only
# program run on adapters, `spweth-demo list`, lists them in a network
# namespace of its own and opens none; spweth-gateway is only asked to refuse
# its options.
# Packages of ours already installed are purged first.
# Usage: test-packages.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build}")
export DEBIAN_FRONTEND=noninteractive
# The lintian warning that the README explains (section "Debian packages").
explained_tags=maintscript-calls-ldconfig
our_packages=(libspweth3 libspweth-dev spweth-tools python3-spweth)

installed_packages() {  # ours that dpkg knows in any state but "not installed"
    { dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${our_packages[@]}" 2>/dev/null || true; } |
        awk '$2 !~ /^.n/ { print $1 }'
}
purge() {
    local installed
    mapfile -t installed < <(installed_packages)
    ((${#installed[@]} == 0)) || apt-get purge -y -qq -o DPkg::Lock::Timeout=300 "${installed[@]}" >/dev/null
}
work=$(mktemp -d)
trap 'purge; rm -rf "$work"' EXIT

shadows=$(find /usr/local -path '*spweth*' 2>/dev/null || true)
if [[ -n $shadows ]]; then
    echo "a cmake --install copy in /usr/local would shadow the packages; remove it first:"
    echo "$shadows"
    exit 1
fi
purge   # before the build too: dpkg-shlibdeps would read an installed libspweth3

echo "-- build"
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j 2 >/dev/null
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/packages/*.deb)
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|' >"$work/$(basename "$deb").files"
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
cat "$work"/*.files | sort -u >"$work/packaged"
dpkg-deb -f "$build"/packages/libspweth3_*.deb Depends | grep -q 'libpcap0\.8'

echo "-- everything cmake --install installs is in a package"
cmake --install "$build" --prefix "$work/stage/usr" >/dev/null
missing=$(comm -23 <(cd "$work/stage" && find . ! -type d | sed 's|^\.||' | sort) "$work/packaged")
[[ -z $missing ]] || { echo "in no package:"; echo "$missing"; exit 1; }

echo "-- lintian"
lintian --allow-root --fail-on error,warning --suppress-tags "$explained_tags" "${debs[@]}"

echo "-- install"
apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends "${debs[@]}" >/dev/null
[[ $(command -v spweth-demo) == /usr/bin/spweth-demo ]]
# grep -c reads all of its input: with -q, ldd could die of SIGPIPE and fail the pipeline.
ldd /usr/bin/spweth-demo | grep -Ec "libspweth.so.3 => (/usr)?/lib/" >/dev/null

echo "-- use"
bash tests/e2e/check_consumer.sh cc
unshare -n spweth-demo list | tee "$work/list"
grep -q '^[0-9]*\. lo ' "$work/list"
# python3-spweth finds the packaged library and lists what the demo lists.
unshare -n env -u PYTHONPATH -u SPWETH_LIBRARY /usr/bin/python3 -m spweth list | diff - "$work/list"
# A switch such as --spin takes no value: the adapter's name still counts (none is opened).
refusal=$(unshare -n spweth-demo status --spin --iface no-such-adapter 2>&1 || true)
grep -q 'cannot open adapter no-such-adapter' <<<"$refusal"
spweth-bridge-emu --help >/dev/null
# The gateway: its service unit checked by systemd for an instance, and its
# refusal to listen beyond loopback without --allow (it opens no adapter then).
spweth-gateway --help >/dev/null
refusal=$(spweth-gateway --iface lo --listen 0.0.0.0:10030 2>&1 && exit 1 || true)
grep -q 'needs at least one --allow' <<<"$refusal"
[[ -f /lib/systemd/system/spweth-gateway@.service && -f /etc/default/spweth-gateway ]]
grep -qx /etc/default/spweth-gateway /var/lib/dpkg/info/spweth-tools.conffiles
verify_man=()
grep -hqs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* && verify_man=(--man=no)
systemd-analyze verify "${verify_man[@]}" spweth-gateway@spw0.service
man_pages=(/usr/share/man/man1/spweth-demo.1.gz /usr/share/man/man1/spweth-bridge-emu.1.gz
           /usr/share/man/man3/spweth.3.gz /usr/share/man/man1/spweth-gateway.1.gz
           /usr/share/man/man3/spweth_rmap.3.gz /usr/share/man/man3/SpW_Recv_Packet.3.gz)
if grep -hqs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
    # Container images often tell dpkg to drop manual pages: check the packages hold them.
    echo "dpkg drops /usr/share/man on this machine; checking the packages instead"
    for page in "${man_pages[@]}"; do grep -qx "$page" "$work/packaged"; done
else
    [[ $(man -w spweth-demo) == "${man_pages[0]}" ]]
    [[ $(man -w spweth-bridge-emu) == "${man_pages[1]}" ]]
    [[ $(man -w 3 spweth) == "${man_pages[2]}" ]]
    [[ $(man -w spweth-gateway) == "${man_pages[3]}" ]]
    [[ $(man -w spweth_rmap) == "${man_pages[4]}" ]]
    # a function's name finds its page through its .so link (man -w names the page it opens)
    [[ $(man -w SpW_Recv_Packet) == "${man_pages[2]}" ]]
    [[ $(man -w SpW_RMAP_Read) == "${man_pages[4]}" ]]
    man SpW_Recv_Packet | grep -c SpW_Recv_Packet_From_MAC_Timeout >/dev/null
    man SpW_RMAP_Read | grep -c SPW_RMAP_INCREMENT >/dev/null
fi
if compgen -G "$build/packages/python3-spweth_*.deb" >/dev/null; then
    # Debian's interpreter, which the package is for, away from the source tree's copy.
    (cd / && /usr/bin/python3 -c "import spweth")
fi

echo "-- purge"
purge
[[ -z $(installed_packages) ]] || { echo "still installed: $(installed_packages)"; exit 1; }
left=$(grep -v '/$' "$work/packaged" | while read -r file; do [[ ! -e $file && ! -L $file ]] || echo "$file"; done)
[[ -z $left ]] || { echo "left behind:"; echo "$left"; exit 1; }
! ldconfig -p | grep -c libspweth >/dev/null || { echo "libspweth is still in the loader's cache"; exit 1; }
echo "packages: built, lint-clean, installed, used and purged"
