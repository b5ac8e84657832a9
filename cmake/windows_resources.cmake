# The Windows executable's resources: the version resource, made from project(VERSION),
# and the message table that the event log's viewers read the entries' texts from,
# compiled with windmc from the mingw-w64 tool chain.
#
#   vbx_add_windows_resources(<target>)
enable_language(RC)

# windmc sits beside windres, with the same target prefix.
get_filename_component(_vbx_rc_dir "${CMAKE_RC_COMPILER}" DIRECTORY)
get_filename_component(_vbx_rc_name "${CMAKE_RC_COMPILER}" NAME)
string(REPLACE "windres" "windmc" _vbx_mc_name "${_vbx_rc_name}")
find_program(VBX_WINDMC NAMES ${_vbx_mc_name} windmc HINTS ${_vbx_rc_dir} REQUIRED)

function(vbx_add_windows_resources target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
  set(source ${CMAKE_SOURCE_DIR}/app/resources)
  # FILEVERSION takes four numbers; a version of fewer parts is filled with zeros.
  set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  set(numbers)
  foreach(part IN LISTS parts)
    if(part STREQUAL "")
      set(part 0)
    endif()
    list(APPEND numbers ${part})
  endforeach()
  list(SUBLIST numbers 0 4 numbers)
  string(REPLACE ";" "," VBX_VERSION_COMMAS "${numbers}")
  configure_file(${source}/VBxMorvel.rc.in ${dir}/VBxMorvel.rc @ONLY)

  add_custom_command(OUTPUT ${dir}/messages.rc ${dir}/MSG00409.bin
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                     COMMAND ${VBX_WINDMC} -U -r ${dir} -h ${dir} ${source}/messages.mc
                     DEPENDS ${source}/messages.mc
                     COMMENT "Compiling the message table"
                     VERBATIM)
  target_sources(${target} PRIVATE ${dir}/VBxMorvel.rc)
  set_source_files_properties(${dir}/VBxMorvel.rc PROPERTIES
                              OBJECT_DEPENDS "${dir}/messages.rc;${dir}/MSG00409.bin"
                              INCLUDE_DIRECTORIES ${dir})
endfunction()
