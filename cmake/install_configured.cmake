# SPDX-License-Identifier: Apache-2.0
# Run by "cmake --install" (and so by dh_auto_install): writes a file from its template
# for the prefix being installed to, which may differ from the one configured. In the
# template, @ZORLEK_PREFIX@ is that prefix and @ZORLEK_BINDIR_FULL@, @ZORLEK_SBINDIR_FULL@
# its program folders; the other @VARIABLES@ are those the install rule set. Set by the
# rule: ZORLEK_TEMPLATE, ZORLEK_WORK (a folder to write in), ZORLEK_NAME, and
# ZORLEK_DESTINATION, ZORLEK_BINDIR and ZORLEK_SBINDIR (each relative to the prefix, or
# absolute).
set(ZORLEK_PREFIX "${CMAKE_INSTALL_PREFIX}")
foreach(folder ZORLEK_BINDIR ZORLEK_SBINDIR ZORLEK_DESTINATION)
  if(IS_ABSOLUTE "${${folder}}")
    set(${folder}_FULL "${${folder}}")
  else()
    set(${folder}_FULL "${CMAKE_INSTALL_PREFIX}/${${folder}}")
  endif()
endforeach()
# One work folder per destination, so that installs to several places at once (as the
# tests do) never share a file.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(work "${ZORLEK_WORK}/configured-${destination}")
configure_file("${ZORLEK_TEMPLATE}" "${work}/${ZORLEK_NAME}" @ONLY)
file(INSTALL "${work}/${ZORLEK_NAME}" DESTINATION "${ZORLEK_DESTINATION_FULL}")
