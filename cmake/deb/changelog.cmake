# Writes the package's changelog.gz into VBX_DOC while cpack installs into its staging
# folder: changelog.in (one entry per version, newest first) with the version of
# CMakeLists.txt (VBX_VERSION), the maintainer (VBX_MAINTAINER) and the date of
# SOURCE_DATE_EPOCH (string(TIMESTAMP) reads it; the time of packaging without it).
# Compressed as Debian's tools do it: gzip -9, no name and no time in the header.
#
# A new version: the entry on top gets its version and date written out, and a new entry with
# @VBX_VERSION@ and @VBX_DATE@ goes above it.
string(TIMESTAMP VBX_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(MAKE_DIRECTORY "${VBX_DOC}")
configure_file("${VBX_CHANGELOG_IN}" "${VBX_DOC}/changelog" @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND gzip -9nf "${VBX_DOC}/changelog" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed (${status})")
endif()
