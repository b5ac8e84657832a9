# Run by cpack after it made the ZIP (CPACK_POST_BUILD_SCRIPTS): the archive is written
# again from cpack's staging folder with its members in name order (cpack takes them in
# the order the file system happens to list them) and every time the one of
# SOURCE_DATE_EPOCH, with its DOS date and time in UTC (a ZIP keeps local time, so the
# packer's time zone would otherwise be in it). The modes are the installation's (0644,
# 0755).
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  if(NOT zip MATCHES "\\.zip$")
    continue()
  endif()
  file(GLOB_RECURSE members LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
       "${CPACK_TEMPORARY_DIRECTORY}/*")
  list(SORT members)
  file(REMOVE "${zip}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${CMAKE_COMMAND} -E tar cf "${zip}" --format=zip -- ${members}
                  WORKING_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}" RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT EXISTS "${zip}")
    message(FATAL_ERROR "writing ${zip} again failed (${status}): ${errors}")
  endif()
endforeach()
