# Installation layout and packages.
#
#   <prefix>/bin/zcon              -> ../libexec/zcon/zcon (relative symlink)
#   <prefix>/libexec/zcon/         the shell's folder: zcon, its service
#                                  wrappers and, from the simulator, the
#                                  stand-in qtool and the other programs
#   <prefix>/libexec/zcon/sim/     zcon-sim, its namespace helper isolate and
#                                  the boot environment helpers
#   <prefix>/bin/zcon-sim          entry point of the simulator
#   <prefix>/bin/zcon-peer-check   the application's conformance checker
#
# The shell runs "<folder of its own executable>/qtool", and the kernel's
# link to the executable names the real file, not a symlink to it. So the
# real file lives in a private folder where a qtool can sit beside it
# without owning a generic name on everyone's PATH. The folder also holds
# the simulator's programs, as build/<preset>/bin does, so zcon-sim finds
# everything in one place.
#
# Components: "shell" (package zcon) and "sim" (package zcon-sim).

include(GNUInstallDirs)

set(ZCON_PRIVATE_DIR ${CMAKE_INSTALL_LIBEXECDIR}/zcon)
set(ZCON_MAINTAINER "zcon developers <zcon-dev@example.com>"
    CACHE STRING "Maintainer field of the Debian packages")

set(zcon_pkg_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${zcon_pkg_dir})

# Manual pages and changelogs are shipped compressed; -n keeps the file name
# and time out of the gzip header, so rebuilding gives the same bytes.
set(zcon_gz_files)
foreach(pair "docs/zcon.1;zcon.1.gz" "packaging/zcon-sim.1;zcon-sim.1.gz"
        "sim/peer_check/zcon-peer-check.1;zcon-peer-check.1.gz" "packaging/changelog;changelog.gz")
  list(GET pair 0 src)
  list(GET pair 1 out)
  add_custom_command(OUTPUT ${zcon_pkg_dir}/${out}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${src} > ${zcon_pkg_dir}/${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/${src} VERBATIM)
  list(APPEND zcon_gz_files ${zcon_pkg_dir}/${out})
endforeach()
add_custom_target(zcon_package_docs ALL DEPENDS ${zcon_gz_files})

# ---- shell -------------------------------------------------------------------

install(TARGETS zcon RUNTIME DESTINATION ${ZCON_PRIVATE_DIR} COMPONENT shell)
# telnetd's -E takes a program without arguments: these add the session type.
install(PROGRAMS packaging/zcon-telnet packaging/zcon-api
  DESTINATION ${ZCON_PRIVATE_DIR} COMPONENT shell)

file(RELATIVE_PATH zcon_link_target /${CMAKE_INSTALL_BINDIR} /${ZCON_PRIVATE_DIR}/zcon)
file(CREATE_LINK ${zcon_link_target} ${zcon_pkg_dir}/zcon SYMBOLIC)
install(FILES ${zcon_pkg_dir}/zcon DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT shell)

install(FILES ${zcon_pkg_dir}/zcon.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT shell)
install(FILES packaging/copyright ${zcon_pkg_dir}/changelog.gz docs/install.md docs/protocol.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zcon COMPONENT shell)
install(DIRECTORY packaging/examples/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zcon/examples COMPONENT shell)
if(NOT "pie" IN_LIST ZCON_HARDENING)
  install(FILES packaging/zcon-nopie.lintian-overrides RENAME zcon
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT shell)
endif()

# ---- simulator ---------------------------------------------------------------

if(TARGET appd)
  install(TARGETS appd syslogd zcon-ready-service qtool
    RUNTIME DESTINATION ${ZCON_PRIVATE_DIR} COMPONENT sim)
  # The application's conformance checker: the appliance team runs it by
  # name, and it runs no qtool, so it needs no place beside the shell.
  install(TARGETS zcon-peer-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  # zcon-sim finds isolate, fw_env/ and services/ beside itself, as in the
  # source tree.
  install(PROGRAMS sim/zcon-sim sim/isolate DESTINATION ${ZCON_PRIVATE_DIR}/sim COMPONENT sim)
  install(PROGRAMS sim/services/telnet-service sim/services/serial-console
    sim/services/zcon-login DESTINATION ${ZCON_PRIVATE_DIR}/sim/services COMPONENT sim)
  install(PROGRAMS sim/fw_env/fw-env-setup
    DESTINATION ${ZCON_PRIVATE_DIR}/sim/fw_env COMPONENT sim)
  install(PROGRAMS sim/fw_env/bin/fw_printenv sim/fw_env/bin/fw_setenv
    DESTINATION ${ZCON_PRIVATE_DIR}/sim/fw_env/bin COMPONENT sim)
  install(PROGRAMS packaging/zcon-sim DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  install(FILES ${zcon_pkg_dir}/zcon-sim.1.gz ${zcon_pkg_dir}/zcon-peer-check.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
  install(FILES packaging/copyright ${zcon_pkg_dir}/changelog.gz sim/README.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zcon-sim COMPONENT sim)
endif()

# ---- Debian packages ---------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zcon)
set(CPACK_PACKAGE_VENDOR "zcon developers")
set(CPACK_PACKAGE_CONTACT "${ZCON_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZCON_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE zcon)

# The appliance gets the shell only: the simulator's stand-ins would shadow
# its own system tool and logger.
if(CMAKE_CROSSCOMPILING OR NOT TARGET appd)
  set(CPACK_COMPONENTS_ALL shell)
else()
  set(CPACK_COMPONENTS_ALL shell sim)
endif()

# The architecture is the toolchain's, not the build machine's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
  OUTPUT_VARIABLE zcon_triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND dpkg-architecture -t ${zcon_triplet} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps only knows the build machine's libraries, so the target's
  # dependencies are the toolchain's own library versions, which the
  # binaries can need at most.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -dM -include features.h -x c /dev/null
    OUTPUT_VARIABLE zcon_libc_macros ERROR_QUIET)
  string(REGEX MATCH "__GLIBC__ ([0-9]+)" _ "${zcon_libc_macros}")
  set(zcon_glibc ${CMAKE_MATCH_1})
  string(REGEX MATCH "__GLIBC_MINOR__ ([0-9]+)" _ "${zcon_libc_macros}")
  string(APPEND zcon_glibc .${CMAKE_MATCH_1})
  string(REGEX MATCH "^[0-9]+" zcon_gcc_major ${CMAKE_CXX_COMPILER_VERSION})
  set(CPACK_DEBIAN_SHELL_PACKAGE_DEPENDS
    "libc6 (>= ${zcon_glibc}), libgcc-s1 (>= 3.0), libstdc++6 (>= ${zcon_gcc_major})")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_DEBIAN_SHELL_PACKAGE_NAME zcon)
set(CPACK_DEBIAN_SHELL_PACKAGE_SECTION admin)
# setenv and printenv run fw_setenv and fw_printenv, which Debian ships in
# libubootenv-tool; an appliance may bring its own instead, hence no Depends.
set(CPACK_DEBIAN_SHELL_PACKAGE_RECOMMENDS libubootenv-tool)
set(CPACK_DEBIAN_SHELL_PACKAGE_SUGGESTS inetutils-telnetd)
set(CPACK_DEBIAN_SHELL_DESCRIPTION "command shell of the network appliance
zcon is the Quorvex Command Shell, the command line that the appliance's
telnet service (port 23), API service (port 24) and serial console start,
one process per session. It forwards command lines to the appliance's
application and shows its answers and the live system log.
.
The package contains the shell, its manual page, telnetd wrappers for the
telnet and API roles and example service definitions. The appliance's
system tool qtool must be reachable beside the shell in /usr/libexec/zcon.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME zcon-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# fw_setenv and fw_printenv come with libubootenv-tool, mkenvimage (which
# makes the simulated environment's image) with u-boot-tools. The services
# need telnetd; --isolated's private network needs ip.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
  "zcon (= ${PROJECT_VERSION}), libubootenv-tool, u-boot-tools, socat")
set(CPACK_DEBIAN_SIM_PACKAGE_RECOMMENDS "inetutils-telnetd, iproute2")
set(CPACK_DEBIAN_SIM_DESCRIPTION "appliance simulator for the zcon shell
Stand-ins for the programs around the zcon shell, so that the shell runs on
a workstation: the application (appd), the system logger (syslogd), the
system tool that reports the password (qtool), the start-up service that
provides the ready file and the boot environment tools, started and stopped
together with zcon-sim, and the telnet, API and serial console services that
start zcon sessions. zcon-sim --isolated runs all of it in private namespaces
of its own, apart from the machine's fixed paths and ports.")

include(CPack)

# ---- check -------------------------------------------------------------------

# Builds and checks the packages of this tree: the appliance's too, whose
# programs are checked without being run. Packages of a sanitizer build are
# of no use. A missing dpkg-deb or lintian makes the check fail, not vanish
# from the test run.
if(ZCON_BUILD_TESTS AND (TARGET appd OR CMAKE_CROSSCOMPILING) AND NOT ZCON_SANITIZE)
  add_test(NAME packaging
    COMMAND ${PROJECT_SOURCE_DIR}/packaging/check-packages ${CMAKE_BINARY_DIR})
  set_tests_properties(packaging PROPERTIES LABELS packaging TIMEOUT 600)
endif()
