# The Debian package of kiln-host, made by CPack from the release preset:
#   cmake --preset release && cmake --build --preset release
#   cd build/release && cpack        -> kiln-host_<version>_<arch>.deb
# kiln-host in /usr/bin, the plug-in in /usr/lib/kiln (where kiln-host looks
# when there is none beside it), the systemd user unit in /usr/lib/systemd/user.
if(WIN32 OR NOT TARGET kiln-host)
  return()
endif()

include(GNUInstallDirs)
set(KILN_HOST_BIN /usr/bin/kiln-host)
set(KILN_DOCS /usr/share/doc/kiln-host/README.md)
configure_file(${PROJECT_SOURCE_DIR}/dist/kiln-host.service.in
  ${PROJECT_BINARY_DIR}/dist/kiln-host.service @ONLY)

install(TARGETS kiln-host RUNTIME DESTINATION bin COMPONENT kiln-host)
install(TARGETS gen_kiln LIBRARY DESTINATION lib/kiln COMPONENT kiln-host)
install(FILES ${PROJECT_BINARY_DIR}/dist/kiln-host.service
  DESTINATION lib/systemd/user COMPONENT kiln-host)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/kiln-host COMPONENT kiln-host)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kiln-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Kiln Log developers")
set(CPACK_PACKAGE_CONTACT "the Kiln Log developers <kiln@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Kiln Log for the desktop's media players (history, now playing, POST, scrobbling, presence)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL kiln-host)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_STRIP_FILES ON)
# The libraries kiln-host and the plug-in link (dpkg-shlibdeps works them out
# when dpkg-dev is there), and the bus daemon that a session without one lacks.
find_program(_dpkg_shlibdeps dpkg-shlibdeps)
if(_dpkg_shlibdeps)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libcurl4, libtag1v5, zlib1g, libssl3, libsdbus-c++1, libcpp-httplib0.11")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session, mpv-mpris")
include(CPack)
