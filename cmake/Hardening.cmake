# Hardening of every program the project builds. The shell runs as root for
# anyone who reaches port 23 or 24, so it gets what a distribution gives such
# a service; ZCON_HARDENING lists the measures taken:
#
#   fortify          -D_FORTIFY_SOURCE=3: glibc's checked string and stdio
#                    calls wherever the compiler knows a buffer's size, also
#                    one known only at run time (level 3: gcc 12, glibc 2.34)
#   stack-protector  -fstack-protector-strong: a canary in every frame that
#                    holds an array or has its address taken
#   stack-clash      -fstack-clash-protection: a frame larger than a page
#                    touches each page as it grows, so the stack cannot jump
#                    over the guard page into another mapping
#   cf-protection    -fcf-protection: indirect branches may only land on
#                    marked targets and returns are checked (Intel CET); x86
#                    only, the other processors have no such instructions
#   relro            -z relro: relocated data made read-only after loading
#   now              -z now: every symbol bound at start, so that with relro
#                    the whole offset table is read-only (full RELRO)
#   pie              a position-independent executable, which the kernel
#                    loads at a random address; left out, -no-pie is explicit
#
# docs/performance.md has what each costs; packaging/check-packages checks
# the built packages for them with hardening-check. The Debian package build
# (debian/rules) asks dpkg-buildflags for all of its hardening too, which
# repeats some of these; the ones it lacks (fortify level 3, stack clash and
# control-flow protection on Debian 12) come from here.
#
# The default depends on the processor, so a preset's toolchain file and
# dh's cross build get the same: PowerPC, the appliance's, leaves out pie.
# Position-independent code adds 16.5 KB (23%) to the stripped shell on ppc32
# (docs/performance.md); the appliance is short of flash, not of address
# space randomisation.
if(NOT DEFINED ZCON_HARDENING_INIT)
  set(ZCON_HARDENING_INIT "fortify;stack-protector;stack-clash;relro;now")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i[3-6]86)$")
    list(APPEND ZCON_HARDENING_INIT cf-protection)
  endif()
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
    list(APPEND ZCON_HARDENING_INIT pie)
  endif()
endif()
set(ZCON_HARDENING "${ZCON_HARDENING_INIT}" CACHE STRING
  "Hardening measures: any of fortify, stack-protector, stack-clash, cf-protection, relro, now, pie")

set(zcon_known_hardening fortify stack-protector stack-clash cf-protection relro now pie)
foreach(measure ${ZCON_HARDENING})
  if(NOT measure IN_LIST zcon_known_hardening)
    message(FATAL_ERROR "ZCON_HARDENING: unknown measure '${measure}'")
  endif()
endforeach()

# The checked calls need the optimiser's knowledge of sizes (without it
# glibc warns, which -Werror makes fatal), so they are left out of Debug
# builds; None is the Debian package build, optimised by dpkg-buildflags.
# Under the sanitizers they are left out too: the sanitizers check every
# access already, and their interceptors do not see the checked variants.
if("fortify" IN_LIST ZCON_HARDENING AND NOT ZCON_SANITIZE AND NOT ZCON_BUILD_FUZZ)
  add_compile_options(
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel,None>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=3>")
endif()
if("stack-protector" IN_LIST ZCON_HARDENING)
  add_compile_options(-fstack-protector-strong)
endif()
if("stack-clash" IN_LIST ZCON_HARDENING)
  add_compile_options(-fstack-clash-protection)
endif()
if("cf-protection" IN_LIST ZCON_HARDENING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i[3-6]86)$")
  add_compile_options(-fcf-protection)
endif()
if("relro" IN_LIST ZCON_HARDENING)
  add_link_options(-Wl,-z,relro)
endif()
if("now" IN_LIST ZCON_HARDENING)
  add_link_options(-Wl,-z,now)
endif()
# Explicit either way: Debian's compilers make PIE by default, the
# appliance's build must not.
if("pie" IN_LIST ZCON_HARDENING)
  add_compile_options(-fPIE)
  add_link_options(-pie)
else()
  add_compile_options(-fno-pie)
  add_link_options(-no-pie)
endif()
