#!/usr/bin/env bash
# Builds the Debian package from the release preset's build (build/release),
# whose flags are Debian's hardening flags, and checks it: lintian finds no
# error, the control fields declare the run-time libraries and recommend
# avahi-daemon, qt6-wayland and libnss-mdns, and the unpacked tree has the
# installed layout. In CI the release step has built it already.
#   tests/install/check-package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/release
cd "$root"

cmake --preset release >/dev/null
cmake --build --preset release
rm -f "$build"/hvl_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/hvl_*.deb)
echo "package: $deb"

problems=()
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libglib2.0-0 libgssdp-1.6-0 libsoup-3.0-0 libxml2 libcups2 libc-ares2 libsnmp40; do
  [[ ",$depends," =~ [,\ ]$lib[,\ ] ]] || problems+=("Depends lacks $lib: $depends")
done
# avahi-daemon is reached over D-Bus: the dns_sd compatibility library is
# only linked by a build that chooses it.
[[ ",$depends," =~ [,\ ]libavahi-compat-libdnssd1[,\ ] ]] && problems+=("Depends names libavahi-compat-libdnssd1")
# libnss-mdns: printers' web addresses name their .local hosts.
recommends=$(dpkg-deb -f "$deb" Recommends)
for pkg in avahi-daemon qt6-wayland libnss-mdns; do
  [[ ",$recommends," =~ [,\ ]$pkg[,\ ] ]] || problems+=("Recommends lacks $pkg: $recommends")
done

# Errors fail; warnings and notes are shown for the release notes.
lintian_rc=0
lintian_out=$(lintian --fail-on error --display-info "$deb" 2>&1) || lintian_rc=$?
grep -v 'running with root privileges' <<<"$lintian_out" || true
[ "$lintian_rc" -eq 0 ] || problems+=("lintian reports errors")

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
"$root/tests/install/check-install.sh" "$unpacked/usr" || problems+=("installed layout of the package")

if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}"
  exit 1
fi
echo "OK: $deb"
