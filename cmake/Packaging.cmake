# Installation layout, from which debian/ makes the packages zcon and
# zcon-sim (debian/*.install say which file goes where).
#
#   <prefix>/bin/zcon              -> ../libexec/zcon/zcon (relative symlink)
#   <prefix>/libexec/zcon/         the shell's folder: zcon, its session
#                                  wrapper zcon-session with the links
#                                  zcon-telnet, zcon-api and zcon-serial
#                                  and, from the simulator, the stand-in
#                                  qtool and the other programs
#   <prefix>/libexec/zcon/sim/     zcon-sim, its namespace helper isolate and
#                                  the boot environment helpers
#   <prefix>/bin/zcon-sim          entry point of the simulator
#   <prefix>/bin/zcon-peer-check   the application's conformance checker
#   /etc/default/zcon              the services' settings (the application's
#                                  host and port), read by zcon-session
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
set(zcon_link_dir ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${zcon_link_dir})

# ---- shell -------------------------------------------------------------------

install(TARGETS zcon RUNTIME DESTINATION ${ZCON_PRIVATE_DIR} COMPONENT shell)
# telnetd's -E takes a program without arguments: each link names the
# session type, and zcon-session adds it with the settings' host and port.
install(PROGRAMS packaging/zcon-session DESTINATION ${ZCON_PRIVATE_DIR} COMPONENT shell)
foreach(role zcon-telnet zcon-api zcon-serial)
  file(CREATE_LINK zcon-session ${zcon_link_dir}/${role} SYMBOLIC)
  install(FILES ${zcon_link_dir}/${role} DESTINATION ${ZCON_PRIVATE_DIR} COMPONENT shell)
endforeach()
install(FILES packaging/default/zcon DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
  COMPONENT shell)

file(RELATIVE_PATH zcon_link_target /${CMAKE_INSTALL_BINDIR} /${ZCON_PRIVATE_DIR}/zcon)
file(CREATE_LINK ${zcon_link_target} ${zcon_link_dir}/zcon SYMBOLIC)
install(FILES ${zcon_link_dir}/zcon DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT shell)
install(FILES docs/zcon.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT shell)

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
  install(FILES packaging/zcon-sim.1 sim/peer_check/zcon-peer-check.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
endif()
