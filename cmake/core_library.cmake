# add_core_library(name dir...): the platform-free sources of a deliverable (every dir/*.cpp),
# built alike for Windows and for the native tests; each dir is also an include folder.  No
# sources at all give an interface library.
function(add_core_library name)
  set(sources)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${ARGN})
    project_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${ARGN})
  endif()
endfunction()
