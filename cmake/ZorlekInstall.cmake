# SPDX-License-Identifier: Apache-2.0
# zorlek_install_configured(TEMPLATE NAME DESTINATION [VARIABLE...]): installs TEMPLATE
# as DESTINATION/NAME, written at install time for the prefix installed to (see
# install_configured.cmake), with each VARIABLE's value at configure time available
# to the template as @VARIABLE@.
function(zorlek_install_configured template name destination)
  set(code "")
  foreach(variable IN LISTS ARGN)
    string(APPEND code "set(${variable} \"${${variable}}\")\n")
  endforeach()
  install(CODE "${code}
    set(ZORLEK_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/${template}\")
    set(ZORLEK_WORK \"${CMAKE_CURRENT_BINARY_DIR}\")
    set(ZORLEK_NAME \"${name}\")
    set(ZORLEK_DESTINATION \"${destination}\")
    set(ZORLEK_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(ZORLEK_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/install_configured.cmake\")")
endfunction()
