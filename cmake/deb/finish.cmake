# Run by cpack after it made the .deb (CPACK_POST_BUILD_SCRIPTS): the data archive loses
# its entry for ./opt/, which cpack adds as the parent of /opt/vbxmorvel. A package that
# lists /opt owns it, and dpkg then removes the system's /opt on purge when nothing else is
# in it (base-files makes /opt without owning it). Every other member stays as cpack wrote
# it, and the .deb is put together again in dpkg-deb's own layout: the ar members
# debian-binary, control.tar.gz, data.tar.gz, owned by root, mode 100644, dated
# SOURCE_DATE_EPOCH (the time of packaging without it). Needs ar, cat, gzip and GNU tar
# (binutils comes with dpkg-dev).
string(TIMESTAMP _vbx_now "%s" UTC)

function(vbx_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status ERROR_VARIABLE errors WORKING_DIRECTORY "${work}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}): ${errors}")
  endif()
endfunction()

# The member names of data.tar, in order, into <out>.
function(vbx_members out)
  execute_process(COMMAND tar -tf data.tar RESULT_VARIABLE status OUTPUT_VARIABLE names WORKING_DIRECTORY "${work}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "tar -tf data.tar failed (${status})")
  endif()
  string(REGEX REPLACE "\n$" "" names "${names}")
  string(REPLACE "\n" ";" names "${names}")
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# The ar header of one member: name, date, owner, group, mode, size, each padded with blanks.
function(vbx_ar_header out name size)
  set(fields)
  foreach(pair "${name};16" "${_vbx_now};12" "0;6" "0;6" "100644;8" "${size};10")
    list(GET pair 0 value)
    list(GET pair 1 width)
    string(LENGTH "${value}" length)
    math(EXPR blanks "${width} - ${length}")
    string(REPEAT " " ${blanks} padding)
    string(APPEND fields "${value}${padding}")
  endforeach()
  file(WRITE "${out}" "${fields}`\n")
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(work "${deb}.parts")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}")
  vbx_run(ar x "${deb}")
  foreach(member debian-binary control.tar.gz data.tar.gz)
    if(NOT EXISTS "${work}/${member}")
      message(FATAL_ERROR "${deb} has no ${member}")
    endif()
  endforeach()
  vbx_run(gzip -d data.tar.gz)
  vbx_members(before)
  # One block at a time: GNU tar 1.34 deletes with its default blocking factor of 20 and
  # then loses members of this archive after the deleted one; with 1 the result is the
  # archive without the folder's header block, all else byte for byte. Checked below.
  vbx_run(tar --delete --no-recursion --blocking-factor=1 -f data.tar ./opt/)
  vbx_members(after)
  list(REMOVE_ITEM before ./opt/)
  if(NOT before STREQUAL after)
    message(FATAL_ERROR "removing ./opt/ from the data archive changed other members:\n${before}\n${after}")
  endif()
  vbx_run(gzip -9n data.tar)

  file(WRITE "${work}/archive" "!<arch>\n")
  file(WRITE "${work}/newline" "\n")
  set(parts "${work}/archive")
  foreach(member debian-binary control.tar.gz data.tar.gz)
    file(SIZE "${work}/${member}" size)
    vbx_ar_header("${work}/${member}.header" ${member} ${size})
    list(APPEND parts "${work}/${member}.header" "${work}/${member}")
    math(EXPR odd "${size} % 2")
    if(odd)
      list(APPEND parts "${work}/newline")
    endif()
  endforeach()
  execute_process(COMMAND cat ${parts} OUTPUT_FILE "${deb}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "writing ${deb} failed (${status})")
  endif()
  file(REMOVE_RECURSE "${work}")
endforeach()
