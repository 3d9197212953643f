# Debian packages of the gateway (CPack DEB, one component each), for the build's architecture:
#   fins-gateway        the daemon, its systemd unit with its system user, its manual page and the
#                       README: what a robot controller runs;
#   fins-gateway-tools  the simulators fins-plc-sim and exio-sim and the FINS client fins-cli, with
#                       their manual pages: for trying and commissioning. Kept off controllers on
#                       purpose: exio-sim listens on 127.0.0.1:9602 by default, the port of the
#                       controller's own IO service.
# Each also carries the copyright file and the changelog (packaging/), as Debian wants of every
# package; lintian checks them (scripts/package --test).
# `cpack` in a build folder makes both for that build's architecture; scripts/package makes them
# for amd64 and arm64.
#
# Runtime dependencies come from dpkg-shlibdeps over the packaged programs. For a cross build it
# reads the target's libraries and a dpkg database describing them (GW_SHLIBDEPS_ADMINDIR, which
# scripts/cross-aarch64 writes next to the sysroot), never the host's own.

# The version is the changelog's latest entry, so that the two cannot disagree. (It was once a
# cache entry: an old build folder's copy would override the changelog.)
unset(GW_PACKAGE_VERSION CACHE)
set(_gw_changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_gw_changelog})
file(STRINGS ${_gw_changelog} _gw_changelog_top LIMIT_COUNT 1)
if(NOT _gw_changelog_top MATCHES "^fins-gateway \\(([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line names no version of fins-gateway")
endif()
set(GW_PACKAGE_VERSION ${CMAKE_MATCH_1})
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
# The daemon in sbin, where Debian puts daemons; the build tree keeps it in build/service/.
install(TARGETS ${_gw_daemon_programs} RUNTIME DESTINATION sbin COMPONENT daemon)
install(TARGETS ${_gw_tool_programs} RUNTIME DESTINATION bin COMPONENT tools)

# Manual pages and changelogs go in compressed with gzip -9n, as Debian wants them: no file name or
# time stamp inside, so that a rebuild gives the same bytes.
find_program(GW_GZIP gzip REQUIRED)
set(_gw_gz_dir ${PROJECT_BINARY_DIR}/packaging/gz)
set(_gw_gz_outputs)
function(_gw_gzipped source name component destination)
  set(plain ${_gw_gz_dir}/${component}/${name})
  add_custom_command(
    OUTPUT ${plain}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_gw_gz_dir}/${component}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND ${GW_GZIP} -9nf ${plain}
    DEPENDS ${source}
    VERBATIM)
  install(FILES ${plain}.gz DESTINATION ${destination} COMPONENT ${component})
  set(_gw_gz_outputs ${_gw_gz_outputs} ${plain}.gz PARENT_SCOPE)
endfunction()
_gw_gzipped(${PROJECT_SOURCE_DIR}/service/fins-gateway.8 fins-gateway.8 daemon share/man/man8)
_gw_gzipped(${PROJECT_SOURCE_DIR}/tools/plc-sim/fins-plc-sim.1 fins-plc-sim.1 tools share/man/man1)
_gw_gzipped(${PROJECT_SOURCE_DIR}/tools/exio-sim/exio-sim.1 exio-sim.1 tools share/man/man1)
_gw_gzipped(${PROJECT_SOURCE_DIR}/tools/fins-cli/fins-cli.1 fins-cli.1 tools share/man/man1)
# A native package (its version has no Debian revision) keeps its changelog as changelog.gz.
_gw_gzipped(${_gw_changelog} changelog daemon ${_gw_docdir})
_gw_gzipped(${_gw_changelog} changelog tools share/doc/fins-gateway-tools)
add_custom_target(gw_package_gz ALL DEPENDS ${_gw_gz_outputs})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${_gw_docdir} COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION share/doc/fins-gateway-tools COMPONENT tools)

set(GW_SBIN_DIR ${_gw_prefix}/sbin)
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
# The project has no public address yet. Rather than a made-up mailbox that might reach a
# stranger, or localhost, which would deliver a report to the sender's own machine, the address is
# under .invalid, the name reserved for addresses that cannot work (RFC 2606): plainly not one to
# write to. The changelog's entries name the same.
set(CPACK_PACKAGE_CONTACT "fins-gateway maintainers <maintainers@fins-gateway.invalid>")
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
# postinst makes the system user with systemd-sysusers; CPack adds the libraries' packages that
# dpkg-shlibdeps finds.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers")
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
# Both packages come from this one tree and share its changelog.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SOURCE fins-gateway)
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
