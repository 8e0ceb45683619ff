#!/usr/bin/env bash
# Builds the Debian package from a Release build of its own (build/package),
# with Debian's hardening flags, and checks it: lintian finds no error, the
# control fields declare the run-time libraries and recommend avahi-daemon,
# qt6-wayland and libnss-mdns,
# and the unpacked tree has the installed layout.
#   tests/install/check-package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/package
cd "$root"

if command -v dpkg-buildflags >/dev/null; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  # Only read at the first configure of a build tree.
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
  export CXXFLAGS CFLAGS LDFLAGS
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DHVL_BUILD_TESTS=OFF -DHVL_BUILD_BENCHMARKS=OFF -DHVL_BUILD_FUZZERS=OFF >/dev/null
cmake --build "$build" -j2
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
