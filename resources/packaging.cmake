# The Debian package: `cpack -G DEB` in a build tree (best a Release build,
# whose binaries CPack strips). Included at the end of the top-level
# CMakeLists.txt, after every install rule.
set(CPACK_PACKAGE_NAME hvl)
set(CPACK_PACKAGE_VENDOR Ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Ostrel <printer-locator@ostrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find the printers on the local network")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # hvl_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Halvet Printer Locator lists the printers on the local network with their
name and IP address. A scan runs DNS service discovery over multicast DNS
(through the system's avahi-daemon) and a UPnP device search side by side.
A printer's details show its web address, which opens in the web browser.

The package holds the window (hvl) and a headless scanner (hvl-scan).")
# dpkg-shlibdeps derives the exact library packages from the executables:
# Qt 6 Widgets and the GUPnP 1.6 stack (GSSDP, libsoup 3, libxml2, GLib,
# whose GDBus reaches avahi-daemon), libcups (hvl-scan --status) and c-ares
# (hvl-scan --domain). Without it they are named by hand.
find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libqt6widgets6, libglib2.0-0, libgssdp-1.6-0, libsoup-3.0-0, libxml2, libcups2, libc-ares2")
endif()
# Multicast DNS needs the system's daemon; without it only UPnP searches.
# Qt's Wayland platform plugin lets the window run natively on a Wayland
# desktop (else it needs XWayland); libnss-mdns lets the browser resolve a
# printer's "NAME.local" web address.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, qt6-wayland, libnss-mdns")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_GENERATOR DEB)
include(CPack)
