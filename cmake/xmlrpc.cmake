# xmlrpc-c ships no CMake or pkg-config files. Find the headers and every library ourselves so that a
# cross-build with a sysroot resolves them inside the sysroot; the headers use std::auto_ptr, so they
# are included as system headers to keep -Werror quiet.
find_path(XMLRPC_INCLUDE_DIR xmlrpc-c/base.hpp REQUIRED)
set(_gw_xmlrpc_libs
  xmlrpc_client++ xmlrpc_client xmlrpc_server_abyss++ xmlrpc_server++ xmlrpc_server_abyss
  xmlrpc_server xmlrpc_abyss xmlrpc++ xmlrpc xmlrpc_xmlparse xmlrpc_xmltok xmlrpc_util
  xmlrpc_packetsocket)
set(_gw_xmlrpc_paths "")
foreach(lib ${_gw_xmlrpc_libs})
  find_library(XMLRPC_LIB_${lib} ${lib} REQUIRED)
  list(APPEND _gw_xmlrpc_paths ${XMLRPC_LIB_${lib}})
endforeach()
find_package(CURL REQUIRED)
find_package(Boost REQUIRED)

add_library(gw_xmlrpc INTERFACE)
target_include_directories(gw_xmlrpc SYSTEM INTERFACE ${XMLRPC_INCLUDE_DIR})
target_link_libraries(gw_xmlrpc INTERFACE ${_gw_xmlrpc_paths} CURL::libcurl Threads::Threads)

add_library(gw_boost INTERFACE)
target_include_directories(gw_boost SYSTEM INTERFACE ${Boost_INCLUDE_DIRS})
