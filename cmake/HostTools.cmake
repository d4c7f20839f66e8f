# Small programs that run during the build: the placeholder firmware maker and the other
# generators in tools/host. A native build builds them as part of itself; a cross build
# builds them with the host's compiler as a sub-project, since the cross-compiled ones
# could not run here.
file(GLOB _orvane_host_tool_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/host/*.cpp)
set(_orvane_host_tool_names "")
foreach(_src IN LISTS _orvane_host_tool_sources)
  get_filename_component(_name ${_src} NAME_WE)
  list(APPEND _orvane_host_tool_names ${_name})
endforeach()

if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(_orvane_host_dir ${CMAKE_BINARY_DIR}/host-tools)
  set(_byproducts "")
  foreach(_name IN LISTS _orvane_host_tool_names)
    list(APPEND _byproducts ${_orvane_host_dir}/${_name})
  endforeach()
  ExternalProject_Add(orvane_host_tools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools/host
    BINARY_DIR ${_orvane_host_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DORVANE_SOURCE_ROOT=${CMAKE_SOURCE_DIR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${_byproducts})
  # orvane_host_tool(<name> <var>): <var> is the path of the tool, usable in
  # add_custom_command(COMMAND ...), and <var>_DEPENDS what such a command must depend on.
  function(orvane_host_tool name var)
    set(${var} ${_orvane_host_dir}/${name} PARENT_SCOPE)
    set(${var}_DEPENDS orvane_host_tools ${_orvane_host_dir}/${name} PARENT_SCOPE)
  endfunction()
else()
  set(ORVANE_HOST_TOOLS_IN_TREE ON)
  function(orvane_host_tool name var)
    set(${var} $<TARGET_FILE:${name}> PARENT_SCOPE)
    set(${var}_DEPENDS ${name} PARENT_SCOPE)
  endfunction()
endif()
