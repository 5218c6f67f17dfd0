# The layering of the Windows edge: every source lies in one of the folders of LAYERS, and an
# include that names a folder names its own or one before it in that list, never one after
# (core headers go by their bare names and are open to all).  Fails, naming the file and the
# include, at the first one that runs up; touches STAMP when all hold.
#   cmake -DEDGE=<portlink/edge> -DSTAMP=<file> -P layers.cmake
set(LAYERS win exchange search service boundary)
file(GLOB_RECURSE sources RELATIVE ${EDGE} ${EDGE}/*.h ${EDGE}/*.cpp)
foreach(source ${sources})
  string(REGEX MATCH "^[^/]+/" folder "${source}")
  string(REPLACE "/" "" folder "${folder}")
  list(FIND LAYERS "${folder}" rank)
  if(rank LESS 0)
    message(FATAL_ERROR "portlink/edge/${source}: not in a layer folder (${LAYERS})")
  endif()
  file(STRINGS ${EDGE}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[^\"]*\"([^\"/]+)/.*$" "\\1" named "${line}")
    list(FIND LAYERS "${named}" namedRank)
    if(namedRank LESS 0 OR namedRank GREATER rank)
      message(FATAL_ERROR "portlink/edge/${source}: ${line} runs up from ${folder}/ to ${named}/")
    endif()
  endforeach()
endforeach()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
