#!/usr/bin/env bash
# Installs every Debian package the locator needs to build, run and test.
# Idempotent and quiet when everything is already there. Needs root (or sudo).
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ ccache pkg-config clang
  # user interface
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-wayland
  # DNS-SD (the dns_sd compatibility library only for the dnssd preset)
  libavahi-compat-libdnssd-dev avahi-daemon dbus
  # the system resolver finds printers' .local web addresses (adds mdns4_minimal
  # to /etc/nsswitch.conf; it asks only a running avahi-daemon)
  libnss-mdns
  # UPnP device search
  libgssdp-1.6-dev libsoup-3.0-dev libxml2-dev libglib2.0-dev
  # --serve-config: TLS through GLib (glib-networking), bcrypt (libxcrypt), YAML
  glib-networking libcrypt-dev libyaml-dev
  # printer status over IPP (hvl-scan --status)
  libcups2-dev
  # DNS-SD over unicast DNS (hvl-scan --domain)
  libc-ares-dev
  # printers over SNMP (hvl-scan --snmp)
  libsnmp-dev
  # DNS-SD records into the organisation's DNS (hvl-scan --publish: RFC 2136 with TSIG)
  libldns-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev gnuplot-nox
  # test lab peers and tools
  avahi-utils python3-zeroconf cups-ipp-utils libgupnp-1.6-dev gupnp-tools iproute2
  procps psmisc
  # SNMP printers and a router (snmpsimd), and net-snmp's tools
  snmpsim snmp
  # the lab's authoritative DNS server (keeps the case of names, unlike NSD)
  bind9
  # what hvl-scan feeds in the lab: Prometheus (and promtool), a headless
  # browser for the web page, CUPS as the oracle of driverless printing
  prometheus chromium cups-daemon cups-client
  # screenshots and desktop integration checks
  xvfb openbox imagemagick x11-apps
  xdotool
  # the window under Wayland and through AT-SPI (its lab tests)
  weston libweston-10-dev wl-clipboard at-spi2-core python3-pyatspi
  desktop-file-utils appstream lintian man-db librsvg2-bin dpkg-dev fakeroot
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # Service starts are left to the desktop: the locator itself only needs the libraries.
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Discovery daemons (and the lab's DNS server) must never run on this machine's own interfaces during
# development or CI: the test lab starts its own inside network namespaces.
# Only on CI (or when asked) are the ones found in the host namespace stopped.
if [ "${CI:-}" = "true" ] || [ "${HVL_STOP_HOST_DAEMONS:-}" = "1" ]; then
  self_ns=$(readlink /proc/self/ns/net)
  for name in avahi-daemon minidlnad minidlna named; do
    for pid in $(pgrep -x "$name" 2>/dev/null || true); do
      if [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" = "$self_ns" ]; then
        echo "Stopping $name (pid $pid) in the host network namespace"
        kill "$pid" 2>/dev/null || true
      fi
    done
  done
fi
