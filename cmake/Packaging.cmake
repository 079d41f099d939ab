# What `cmake --install` puts where a desktop looks for it, and the Debian package made from
# that with CPack (`cpack -G DEB` in the build folder; scripts/package.sh does the whole run).
# Included from the top CMakeLists.txt once the tramlet target exists.

include(GNUInstallDirs)

set(TRAMLET_APP_ID org.example.tramlet)
# The day the version in project() was released; the metainfo, the manual page and the Debian
# changelog carry it. Change it with the version.
set(TRAMLET_RELEASE_DATE 2026-12-07)
set(TRAMLET_CONTACT "Tramlet developers <tramlet@example.org>")

set(dist ${CMAKE_CURRENT_SOURCE_DIR}/dist/linux)
set(generated ${CMAKE_CURRENT_BINARY_DIR}/dist)
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/tramlet)

execute_process(COMMAND date -u -R -d "${TRAMLET_RELEASE_DATE} 12:00"
  OUTPUT_VARIABLE TRAMLET_RELEASE_TIME OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
configure_file(${dist}/${TRAMLET_APP_ID}.metainfo.xml.in
  ${generated}/${TRAMLET_APP_ID}.metainfo.xml @ONLY)
configure_file(${dist}/tramlet.1.in ${generated}/tramlet.1 @ONLY)
configure_file(${dist}/changelog.in ${generated}/changelog @ONLY)
# Without names or times in the gzip header, the same sources give the same package.
add_custom_command(OUTPUT ${generated}/tramlet.1.gz ${generated}/changelog.gz
  COMMAND gzip -9 -n -k -f tramlet.1 changelog
  DEPENDS ${generated}/tramlet.1 ${generated}/changelog
  WORKING_DIRECTORY ${generated} VERBATIM)
add_custom_target(tramlet_dist DEPENDS ${generated}/tramlet.1.gz ${generated}/changelog.gz)
# Whoever builds the program can install it (scripts/run.sh builds that target alone).
add_dependencies(tramlet tramlet_dist)

install(TARGETS tramlet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${dist}/${TRAMLET_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${generated}/${TRAMLET_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES src/icons/tramlet.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${TRAMLET_ICON_SIZES})
  install(FILES src/icons/tramlet-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME tramlet.png)
endforeach()
install(FILES ${generated}/tramlet.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${dist}/copyright ${generated}/changelog.gz DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tramlet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TRAMLET_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop HTTP proxy that slows downloads to a set rate")
# Lines of the long description stay under 80 columns; no semicolons (CMake's list separator).
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Tramlet relays every answer to its client at no more than a set number of\n"
  "kilobytes per second per connection. Point a browser or any other HTTP client\n"
  "at it (port 1080) to see how a page or a program behaves on a slow line, or to\n"
  "keep one download from taking the whole connection. HTTPS passes through\n"
  "unread, paced the same way. Nothing is cached or written to disk.\n"
  "\n"
  "It starts as an icon in the notification area. Its window lists the requests\n"
  "and answers and holds the limit. The proxy can be reached from the local\n"
  "network, not only from this computer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without Qt's Wayland plugin a Wayland session runs the program through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
