# add_core_library(name dir): the platform-free sources of a deliverable (dir/*.cpp), built
# alike for Windows and for the native tests.  An empty folder gives an interface library.
function(add_core_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${dir})
    project_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${dir})
  endif()
endfunction()
