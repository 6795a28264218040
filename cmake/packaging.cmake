# Install rules beside the programs' own (bin): the man pages, the systemd
# unit, the example config, the monitoring files and the Debian copyright and
# changelog, and the Debian package made from them with `cpack -G DEB`.

# Man pages and the changelog are installed compressed, as Debian wants them;
# gzip -n leaves out name and time, so the files are the same at each build.
find_program(ORBECK_GZIP gzip REQUIRED)
set(ORBECK_COMPRESSED_DIR ${CMAKE_BINARY_DIR}/compressed)
set(ORBECK_MAN_PAGES orbeck-vega.1 orbeck-hash.1 orbeck-pool.1)
set(ORBECK_COMPRESSED_FILES)
foreach(page IN LISTS ORBECK_MAN_PAGES)
  list(APPEND ORBECK_COMPRESSED_SOURCES ${PROJECT_SOURCE_DIR}/doc/${page})
endforeach()
list(APPEND ORBECK_COMPRESSED_SOURCES ${PROJECT_SOURCE_DIR}/contrib/debian/changelog)
foreach(source IN LISTS ORBECK_COMPRESSED_SOURCES)
  get_filename_component(name ${source} NAME)
  set(compressed ${ORBECK_COMPRESSED_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${ORBECK_COMPRESSED_DIR}
                     COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2\"" ${ORBECK_GZIP} ${source} ${compressed}
                     DEPENDS ${source}
                     COMMENT "Compressing ${name}"
                     VERBATIM)
  list(APPEND ORBECK_COMPRESSED_FILES ${compressed})
endforeach()
add_custom_target(orbeck_compressed_docs ALL DEPENDS ${ORBECK_COMPRESSED_FILES})

foreach(page IN LISTS ORBECK_MAN_PAGES)
  install(FILES ${ORBECK_COMPRESSED_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# The unit's ExecStart names /usr/bin; the package installs under /usr.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/orbeck-vega.service
        DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/orbeck.json
              ${PROJECT_SOURCE_DIR}/contrib/prometheus.yml
              ${PROJECT_SOURCE_DIR}/contrib/grafana-dashboard.json
              ${PROJECT_SOURCE_DIR}/README.md
              ${PROJECT_SOURCE_DIR}/contrib/debian/copyright
              ${ORBECK_COMPRESSED_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME orbeck)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orbeck")
# No public address exists yet: the reserved .invalid domain says so.
set(CPACK_PACKAGE_CONTACT "Orbeck developers <orbeck@orbeck.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CryptoNight miner for OpenCL GPUs, with a systemd unit")
# Lines of at most 72 characters: Debian shows the description as it is.
set(CPACK_PACKAGE_DESCRIPTION
    "Orbeck mines the CryptoNight hash family on OpenCL devices. It logs in
to a pool over line-based JSON-RPC (plain TCP or TLS, IPv4 or IPv6) with
failover between several pools, searches each job on the selected GPUs,
checks every result with its own CPU hash and submits the good ones as
shares. Hash rates, shares and sensors are printed and, on request,
served over HTTP as JSON and in the Prometheus text format.

The package holds orbeck-vega, the miner, with a hardened systemd unit
that runs it from /etc/orbeck/orbeck.json, and two tools: orbeck-hash,
the CPU hash of a blob, and orbeck-pool, a small local pool for trials.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The runtime libraries (OpenCL ICD loader, Boost, OpenSSL, libsystemd, the
# C++ runtime) come from dpkg-shlibdeps, run at package time by
# cmake/deb_depends.cmake, which also drops the alternatives a stricter entry
# already implies; an OpenCL driver is the user's choice of ICD.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, opencl-icd")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake
     CONTENT "cmake_policy(VERSION 3.25)  # cpack reads this without the project's policies
set(ORBECK_PACKAGED_PROGRAMS \"$<TARGET_FILE:orbeck-vega>;$<TARGET_FILE:orbeck-hash>;$<TARGET_FILE:orbeck-pool>\")
set(ORBECK_SHLIBDEPS_DIR \"${CMAKE_BINARY_DIR}/_shlibdeps\")
include(\"${PROJECT_SOURCE_DIR}/cmake/deb_depends.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
include(CPack)
