# Install rules and the Debian package (cpack -G DEB in the build directory).
# Only the three programs, the udev rule, the manual pages and the documents
# are installed; tests, benchmarks and fuzz targets never are.
include(GNUInstallDirs)

# cpack and "make install" take the programs as built; they do not build
# the tests and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

foreach(program qm38v2con qm38v2con-service qm38sim)
  if(TARGET ${program})
    # Full RELRO: the dynamic relocations are resolved at start and then read-only.
    target_link_options(${program} PRIVATE LINKER:-z,relro LINKER:-z,now)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # A stripped install (--strip, cpack) also drops the compiler's notes.
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()")
  endif()
endforeach()

# udev reads rules from its own directory only, whatever the install prefix.
if(NOT QM_UDEV_RULES_DIR)
  pkg_get_variable(QM_UDEVDIR udev udevdir)
  if(QM_UDEVDIR)
    set(QM_UDEV_RULES_DIR_DEFAULT "${QM_UDEVDIR}/rules.d")
  else()
    set(QM_UDEV_RULES_DIR_DEFAULT "/usr/lib/udev/rules.d")
  endif()
  set(QM_UDEV_RULES_DIR "${QM_UDEV_RULES_DIR_DEFAULT}" CACHE PATH "Directory for the udev rule")
endif()
file(GLOB QM_UDEV_RULES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/udev/*.rules)
install(FILES ${QM_UDEV_RULES} DESTINATION ${QM_UDEV_RULES_DIR})
# Where the rule lands, for the manual page.
set(QM_UDEV_RULE_PATHS)
foreach(rule ${QM_UDEV_RULES})
  get_filename_component(rule_name ${rule} NAME)
  list(APPEND QM_UDEV_RULE_PATHS ${QM_UDEV_RULES_DIR}/${rule_name})
endforeach()
list(JOIN QM_UDEV_RULE_PATHS " " QM_UDEV_RULE_PATHS)

# Manual pages and the changelog go out compressed, as Debian tools expect
# (gzip -n: no time stamp, so the same source gives the same file).
find_program(QM_GZIP gzip REQUIRED)
set(QM_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(QM_MAN_FILES)
foreach(page qm38v2con qm38sim)
  configure_file(${CMAKE_SOURCE_DIR}/man/${page}.1.in ${QM_MAN_DIR}/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${QM_MAN_DIR}/${page}.1.gz
                     COMMAND ${QM_GZIP} -9nc ${page}.1 > ${page}.1.gz
                     DEPENDS ${QM_MAN_DIR}/${page}.1
                     WORKING_DIRECTORY ${QM_MAN_DIR} VERBATIM)
  list(APPEND QM_MAN_FILES ${QM_MAN_DIR}/${page}.1.gz)
endforeach()
# The service edition shares the page of the instrument program.
add_custom_command(OUTPUT ${QM_MAN_DIR}/qm38v2con-service.1.gz
                   COMMAND ${CMAKE_COMMAND} -E create_symlink qm38v2con.1.gz qm38v2con-service.1.gz
                   WORKING_DIRECTORY ${QM_MAN_DIR} VERBATIM)
list(APPEND QM_MAN_FILES ${QM_MAN_DIR}/qm38v2con-service.1.gz)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   COMMAND ${QM_GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > changelog.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
                   WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging VERBATIM)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
add_custom_target(qm_docs ALL DEPENDS ${QM_MAN_FILES} ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${QM_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES README.md packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB QM_SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/scenarios/*.json)
install(FILES ${QM_SCENARIOS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/scenarios)

# ---- Debian package ----
set(QM_PACKAGE_MAINTAINER "qm38v2con maintainers <maintainers@users.noreply.c-seed-72fef03f.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qm38v2con)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "${QM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for the QM-38 V2 susceptibility and conductivity meter")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "qm38v2con connects to the QM-38 V2 hand-held instrument over USB, a serial
port or Bluetooth and runs its commands from a prompt: memory setting and
restart, and in the service edition (qm38v2con-service) identity and clock,
parameters, measurements and scans, the measurement log download, device
files and the firmware upload.
.
The package also holds qm38sim, a simulated instrument on a pseudo-terminal,
and the udev rule that lets the logged-in user open the instrument.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bluez)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
