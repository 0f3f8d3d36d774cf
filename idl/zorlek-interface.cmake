# SPDX-License-Identifier: Apache-2.0
# zorlek_add_interface(TARGET FILE.zi): runs zorlek-idl on FILE.zi at build time (and again
# whenever it changes) and gives TARGET the generated header, to include as "FILE.zi.h".
# TARGET links the IPC library itself (zorlek::ipc).
function(zorlek_add_interface target file)
  get_filename_component(source "${file}" ABSOLUTE)
  get_filename_component(name "${file}" NAME)
  set(folder "${CMAKE_CURRENT_BINARY_DIR}/${target}.interfaces")
  set(header "${folder}/${name}.h")
  add_custom_command(OUTPUT "${header}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
    COMMAND "$<TARGET_FILE:zorlek::idl>" -o "${header}" "${source}"
    DEPENDS "${source}" zorlek::idl
    COMMENT "Generating ${name}.h"
    VERBATIM)
  target_sources(${target} PRIVATE "${header}")
  target_include_directories(${target} PRIVATE "${folder}")
endfunction()
