# Packages made with cpack (scripts/package.sh runs it):
#   Linux    vbxmorvel_<version>_amd64.deb: the program and the packet server in
#            /opt/vbxmorvel/ (the program keeps its working tree beside itself) with the
#            README; the dependencies are computed by dpkg-shlibdeps from the binaries;
#            the maintainer scripts of cmake/deb/ register and start the service.
#   Windows  vbxmorvel_<version>_win64.zip: the executables and the README, unpacked into
#            a folder of the operator's choice.
# Installing builds nothing: scripts/package.sh builds the targets it packs first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_vbx_programs VBxMorvel)
if(TARGET VBxPakketServer)
  list(APPEND _vbx_programs VBxPakketServer)
endif()
install(TARGETS ${_vbx_programs} RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)

set(CPACK_PACKAGE_NAME vbxmorvel)
set(CPACK_PACKAGE_VENDOR "Vanto Brivon")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vanto Brivon Morvel Collector")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "vbxmorvel_${PROJECT_VERSION}_win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/vbxmorvel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VBxMorvel maintainers <maintainers@users.noreply.c-seed-774278dc.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The collector service (the systemd unit BrivonMorvel) and its packet server.\nInstalling registers and starts the service.")
  # Depends: from the shared libraries the binaries really use (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/cmake/deb/postinst ${CMAKE_SOURCE_DIR}/cmake/deb/prerm
      ${CMAKE_SOURCE_DIR}/cmake/deb/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
