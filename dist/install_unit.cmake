# Run by "cmake --install" (and so by CPack): writes zorlek-registry.service naming the
# registry under the prefix being installed to, which may differ from the one configured.
# Set by the install rule: ZORLEK_UNIT_TEMPLATE, ZORLEK_UNIT_WORK (a folder to write in),
# ZORLEK_SBINDIR (relative to the prefix, or absolute) and ZORLEK_UNITDIR (relative).
if(IS_ABSOLUTE "${ZORLEK_SBINDIR}")
  set(ZORLEK_SBINDIR_FULL "${ZORLEK_SBINDIR}")
else()
  set(ZORLEK_SBINDIR_FULL "${CMAKE_INSTALL_PREFIX}/${ZORLEK_SBINDIR}")
endif()
# One work folder per destination, so that installs to several places at once (as the
# tests do) never share a file.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(work "${ZORLEK_UNIT_WORK}/unit-${destination}")
configure_file("${ZORLEK_UNIT_TEMPLATE}" "${work}/zorlek-registry.service" @ONLY)
file(INSTALL "${work}/zorlek-registry.service"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/${ZORLEK_UNITDIR}")
