# The Debian package: everything `cmake --install` lays out, under the configured prefix
# (./run package configures /usr). Library dependencies are computed from the programs by
# dpkg-shlibdeps; what they load at run time without linking it is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kxntadmin)
set(CPACK_PACKAGE_VENDOR "Zenthor")
set(CPACK_PACKAGE_CONTACT "Zenthor <kxntadmin@zenthor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "administration console of the Veltrane cluster file system")
set(CPACK_PACKAGE_DESCRIPTION
    "kxntadmin browses the hosts, file systems, stripe groups, disks, clients, quotas and FSM
debug flags of a Veltrane cluster, and starts, stops, fails over and activates file systems.
The package holds the console (kxntadmin), its command-line front end (kxadmin) and a
simulated cluster on loopback addresses to try both (kxclustersim).")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The SVG icons of the window are drawn by Qt's SVG icon-engine plugin, which libqt6svg6
# ships; the program does not link it, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# The window's platform plugins: X11 (libqt6gui6) and, on a Wayland desktop, qt6-wayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
# The group kxfsadmin and, where no install root exists yet, its configuration and log
# directories, so that the console starts without errors on a machine of its own.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/postinst
    ${PROJECT_SOURCE_DIR}/dist/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
