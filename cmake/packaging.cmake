# Install rules beside the programs' own (bin): the man page, the systemd
# unit, the example config and the monitoring files, and the Debian package
# made from them with `cpack -G DEB`.
install(FILES ${PROJECT_SOURCE_DIR}/doc/orbeck-vega.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The unit's ExecStart names /usr/bin; the package installs under /usr.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/orbeck-vega.service
        DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/orbeck.json
              ${PROJECT_SOURCE_DIR}/contrib/prometheus.yml
              ${PROJECT_SOURCE_DIR}/contrib/grafana-dashboard.json
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME orbeck)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orbeck")
set(CPACK_PACKAGE_CONTACT "Orbeck developers <orbeck@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CryptoNight miner for OpenCL GPUs, with a systemd unit")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/orbeck")
# The runtime libraries (OpenCL ICD loader, Boost, OpenSSL, libsystemd, the
# C++ runtime) come from dpkg-shlibdeps; an OpenCL driver is the user's
# choice of ICD.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, opencl-icd")
include(CPack)
