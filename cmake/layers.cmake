# Layered libraries: each sees only its own folder's headers and those of the libraries it links.
# Includes name a folder ("player/cd_device.h"), so each library gets an include directory of its
# own that holds just a link to its folder; linking passes it on to the layers above.

set(QEL_LAYERS_DIR ${CMAKE_BINARY_DIR}/layers)

# Makes link (a file or folder) point to target; falls back to including the whole tree, without
# the check, where the system makes no links (plain Windows builds without the right to).
function(qel_layer_link target link)
  get_filename_component(parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${link})
    file(CREATE_LINK ${target} ${link} RESULT result SYMBOLIC)
    if(NOT result EQUAL 0)
      set(QEL_LAYERS_UNCHECKED ON CACHE INTERNAL "")
      message(STATUS "layers: no link for ${link} (${result}); includes are not checked")
    endif()
  endif()
endfunction()

# qel_layer(name folder sources...): a static library for the folder (an interface library when it
# has no sources).
function(qel_layer name folder)
  set(dir ${QEL_LAYERS_DIR}/${folder})
  qel_layer_link(${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder})
  if(ARGN)
    add_library(${name} STATIC ${ARGN})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  if(QEL_LAYERS_UNCHECKED)
    target_include_directories(${name} ${scope} ${CMAKE_SOURCE_DIR})
  else()
    target_include_directories(${name} ${scope} ${dir})
  endif()
endfunction()
