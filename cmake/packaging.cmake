# Installation and the Debian package; included from CMakeLists.txt.
#   cmake --install <build> --prefix <prefix>   programs in bin/, manual pages in share/man/man1/,
#                                               systemd units in lib/systemd/system/
#   cd <Release build> && cpack -G DEB          linkora_<version>_<arch>.deb
include(GNUInstallDirs)

foreach(program linkora linkora-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(WIN32)
  return()
endif()

# The manual pages carry the version and are installed compressed, as man
# expects them; editing a page reconfigures the tree.
foreach(page linkora linkora-sim)
  if(NOT TARGET ${page})
    continue()
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    PATHS ${PROJECT_BINARY_DIR}/man/${page}.1 FORMAT raw COMPRESSION GZip)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The scheduled backups: a service and a timer per plant, the system user
# they run as, an example inventory.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/linkora-backup@.service
              ${PROJECT_SOURCE_DIR}/packaging/systemd/linkora-backup@.timer
        DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/linkora.sysusers
        DESTINATION lib/sysusers.d RENAME linkora.conf)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/plant.inventory DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linkora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "linkora developers")
set(CPACK_PACKAGE_CONTACT "linkora developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cam controller configuration transfer over a serial line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "linkora moves the complete configuration of a Varimotion cam controller\n\
between the controller and an editable text data file over one serial line,\n\
in MODBUS ASCII or TVX Standard, from menus or unattended from a command line.\n\
linkora-sim behaves like such a controller on a pseudo-terminal, for trying\n\
and testing linkora without one.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "linkora developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies as dpkg-shlibdeps (dpkg-dev) finds them: the C and C++ runtime.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# linkora backup keeps its history with git.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS git)
# The postinst creates the backup service's system user.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# A package holds what the Release build makes, never a sanitizer build.
set(CPACK_LINKORA_SANITIZE ${LINKORA_SANITIZE})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package_checks.cmake)
include(CPack)
