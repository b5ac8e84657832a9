# Packages made with cpack (scripts/package.sh runs it):
#   Linux    vbxmorvel_<version>_amd64.deb: the program and the packet server in
#            /opt/vbxmorvel/ (the program keeps its working tree beside itself); the README,
#            the copyright and the changelog in /usr/share/doc/vbxmorvel/; lintian's
#            overrides with their reasons; the service's unit in /lib/systemd/system/,
#            written at build time by the program's own unit code (tools/VBxUnitFile). The
#            dependencies are computed by dpkg-shlibdeps from the binaries; the maintainer
#            scripts of cmake/deb/ enable, start, stop and forget the service as the ones
#            debhelper's dh_installsystemd generates (the program's /INSTALL never runs).
#   Windows  vbxmorvel_<version>_win64.zip: the executables and the README, unpacked into
#            a folder of the operator's choice.
# Installing builds nothing: scripts/package.sh builds the targets it packs first. With
# SOURCE_DATE_EPOCH set (scripts/package.sh takes it from the commit) every time stamp in
# a package is that time, so one commit always gives the same bytes.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# Folders made while installing are 0755 whatever the umask of the one who packs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(_vbx_programs VBxMorvel)
if(TARGET VBxPakketServer)
  list(APPEND _vbx_programs VBxPakketServer)
endif()

set(CPACK_PACKAGE_NAME vbxmorvel)
set(CPACK_PACKAGE_VENDOR "Vanto Brivon")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vanto Brivon Morvel Collector")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")

if(WIN32)
  install(TARGETS ${_vbx_programs} RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "vbxmorvel_${PROJECT_VERSION}_win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Members in name order, times from SOURCE_DATE_EPOCH in UTC (cmake/finish_zip.cmake).
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/finish_zip.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VBxMorvel maintainers <maintainers@users.noreply.c-seed-774278dc.example>")
  set(_vbx_doc usr/share/doc/vbxmorvel)
  install(TARGETS ${_vbx_programs} RUNTIME DESTINATION opt/vbxmorvel)
  install(FILES ${CMAKE_BINARY_DIR}/BrivonMorvel.service DESTINATION lib/systemd/system
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/cmake/deb/copyright DESTINATION ${_vbx_doc})
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/deb/lintian-overrides DESTINATION usr/share/lintian/overrides
          RENAME vbxmorvel)
  # The changelog is written when the package is made, so that its date is the commit's.
  install(CODE "set(VBX_VERSION \"${PROJECT_VERSION}\")
                set(VBX_MAINTAINER \"${CPACK_DEBIAN_PACKAGE_MAINTAINER}\")
                set(VBX_CHANGELOG_IN \"${CMAKE_SOURCE_DIR}/cmake/deb/changelog.in\")
                set(VBX_DOC \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_vbx_doc}\")
                include(\"${CMAKE_SOURCE_DIR}/cmake/deb/changelog.cmake\")")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The collector service (the systemd unit BrivonMorvel) and its packet server.\nInstalling enables and starts the service.")
  # Depends: from the shared libraries the binaries really use (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The maintainer scripts ask and read the first configuration's values through debconf.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "debconf (>= 0.5) | debconf-2.0")
  # postinst knows the unit the 1.0.0 program wrote into /etc by its sha256: the text is
  # kept as a file of its own, so that a later change to the unit changes nothing here.
  file(SHA256 ${CMAKE_SOURCE_DIR}/cmake/deb/BrivonMorvel-1.0.0.service VBX_UNIT_1_0_0_SHA256)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/deb/postinst.in ${CMAKE_BINARY_DIR}/deb/postinst @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                  WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/cmake/deb/preinst ${CMAKE_BINARY_DIR}/deb/postinst
      ${CMAKE_SOURCE_DIR}/cmake/deb/prerm ${CMAKE_SOURCE_DIR}/cmake/deb/postrm
      ${CMAKE_SOURCE_DIR}/cmake/deb/config ${CMAKE_SOURCE_DIR}/cmake/deb/templates)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # cpack lists every parent folder in the data archive; the package must not own /opt
  # (see cmake/deb/finish.cmake).
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/deb/finish.cmake)
endif()

include(CPack)
