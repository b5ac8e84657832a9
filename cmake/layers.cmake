# The program's layers as libraries, read from layers.txt: one static library vbx_<layer>
# per line, made of the .cpp files of the layer's folder (and, for platform, of the
# backend's subfolder), linked only to the layers the line names. Test programs, tools and
# benchmarks link the highest layer they use and get the ones below through it.

# vbx_add_layer(<layer> <folder> [<dependency layer>...])
function(vbx_add_layer layer folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(layer STREQUAL "platform")
    file(GLOB backend CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/${VBX_PLATFORM}/*.cpp)
    list(APPEND sources ${backend})
  endif()
  # The program's entry point is not part of any library.
  list(FILTER sources EXCLUDE REGEX "/app/main\\.cpp$")
  add_library(vbx_${layer} STATIC ${sources})
  if(VBX_FUZZ)
    # A fuzz build makes only the layers its targets link.
    set_property(TARGET vbx_${layer} PROPERTY EXCLUDE_FROM_ALL ON)
  endif()
  target_include_directories(vbx_${layer} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(vbx_${layer} PUBLIC Threads::Threads)
  foreach(dependency ${ARGN})
    target_link_libraries(vbx_${layer} PUBLIC vbx_${dependency})
  endforeach()
endfunction()

file(STRINGS ${CMAKE_SOURCE_DIR}/layers.txt _vbx_layer_lines)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/layers.txt)
foreach(line IN LISTS _vbx_layer_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  string(REGEX REPLACE "[ \t]+" ";" words "${line}")
  list(POP_FRONT words layer)
  vbx_add_layer(${layer} ${layer} ${words})
endforeach()

if(WIN32)
  # Windows' own libraries only; the socket library is loaded at run time, never linked.
  target_link_libraries(vbx_platform PUBLIC user32 advapi32 ole32 kernel32 version)
endif()
