# Debian packages of the gateway (CPack DEB, one component each), for the build's architecture:
#   fins-gateway        the daemon, its systemd unit with its system user, and the README: what a
#                       robot controller runs;
#   fins-gateway-tools  the simulators fins-plc-sim and exio-sim and the FINS client fins-cli: for
#                       trying and commissioning. Kept off controllers on purpose: exio-sim listens
#                       on 127.0.0.1:9602 by default, the port of the controller's own IO service.
# `cpack` in a build folder makes both for that build's architecture; scripts/package makes them
# for amd64 and arm64.
#
# Runtime dependencies come from dpkg-shlibdeps over the packaged programs. For a cross build it
# reads the target's libraries and a dpkg database describing them (GW_SHLIBDEPS_ADMINDIR, which
# scripts/cross-aarch64 writes next to the sysroot), never the host's own.

set(GW_PACKAGE_VERSION "0.2.0" CACHE STRING "Version of the Debian packages")
# Before this version one package carried the simulators too; the tools package takes their files
# over from it on upgrade.
set(_gw_first_split_version 0.2.0)
set(GW_EXIO_SERVICE_UNIT "" CACHE STRING
    "systemd unit of the robot controller's external IO service; the gateway's unit starts after it")

set(_gw_prefix /usr)
set(_gw_docdir share/doc/fins-gateway)

# A package quietly lacking one of its programs would install fine and fail only in use.
set(_gw_daemon_programs fins-gateway)
set(_gw_tool_programs fins-plc-sim exio-sim fins-cli)
foreach(_gw_program ${_gw_daemon_programs} ${_gw_tool_programs})
  if(NOT TARGET ${_gw_program})
    message(FATAL_ERROR "packaging: no target ${_gw_program} in this tree")
  endif()
endforeach()
install(TARGETS ${_gw_daemon_programs} RUNTIME DESTINATION bin COMPONENT daemon)
install(TARGETS ${_gw_tool_programs} RUNTIME DESTINATION bin COMPONENT tools)

set(GW_BIN_DIR ${_gw_prefix}/bin)
set(GW_DOC_DIR ${_gw_prefix}/${_gw_docdir})
configure_file(${PROJECT_SOURCE_DIR}/packaging/fins-gateway.service
               ${PROJECT_BINARY_DIR}/packaging/fins-gateway.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/fins-gateway.service
        DESTINATION lib/systemd/system COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/fins-gateway.sysusers
        DESTINATION lib/sysusers.d RENAME fins-gateway.conf COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${_gw_docdir} COMPONENT daemon)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fins-gateway)
set(CPACK_PACKAGE_VERSION ${GW_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "fins-gateway maintainers <fins-gateway@localhost>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Only these two: an install() rule elsewhere in the tree without a component lands in neither.
set(CPACK_COMPONENTS_ALL daemon tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX ${_gw_prefix})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME fins-gateway)
# The first line is the summary; CPack indents the others under it.
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
    "FINS/TCP gateway between an OMRON PLC and a robot controller's IO registers
A daemon that connects to one OMRON PLC over FINS/TCP and keeps chosen PLC
memory and the robot controller's IO registers in step, in both directions.
Clients drive it over XML-RPC on port 9601; it reaches the robot through the
controller's external IO service (XML-RPC on 127.0.0.1:9602). It runs as the
systemd service fins-gateway. The simulators for trying it without hardware
are in the package fins-gateway-tools.")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME fins-gateway-tools)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "simulators and FINS client for trying the FINS gateway without hardware
fins-plc-sim plays an OMRON PLC over FINS/TCP, exio-sim plays a robot
controller's external IO service (XML-RPC on 127.0.0.1:9602), and fins-cli
makes one FINS read or write from the command line. Not for a robot controller:
exio-sim would take over the port of the controller's own IO service. Needs
nothing of the gateway daemon.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_BREAKS "fins-gateway (<< ${_gw_first_split_version})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES "fins-gateway (<< ${_gw_first_split_version})")

if(CMAKE_CROSSCOMPILING)
  # CPack would otherwise name the build machine's architecture.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(_gw_deb_arch arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64)$")
    set(_gw_deb_arch amd64)
  else()
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_gw_deb_arch})

  get_filename_component(_gw_sysroot_parent "${CMAKE_SYSROOT}" DIRECTORY)
  set(GW_SHLIBDEPS_ADMINDIR "${_gw_sysroot_parent}/dpkg" CACHE PATH
      "dpkg database describing the sysroot's packages, for dpkg-shlibdeps")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      "${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}"
      "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  # CPack reads this file at packaging time; what it puts in the environment reaches
  # dpkg-shlibdeps, dpkg-query and objdump, which it runs as child processes.
  set(_gw_cpack_env ${PROJECT_BINARY_DIR}/packaging/cpack-cross-env.cmake)
  file(WRITE ${_gw_cpack_env}
       "set(ENV{DPKG_ADMINDIR} \"${GW_SHLIBDEPS_ADMINDIR}\")\n"
       "set(ENV{DEB_HOST_ARCH} \"${_gw_deb_arch}\")\n")
  set(CPACK_PROJECT_CONFIG_FILE ${_gw_cpack_env})
endif()

include(CPack)
