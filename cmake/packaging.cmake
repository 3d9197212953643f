# Debian package of the gateway (CPack DEB), one per architecture: the daemon fins-gateway, the two
# simulators, the systemd unit with its system user, and the README. `cpack` in a build folder makes
# the package of that build's architecture; scripts/package makes both (amd64 and arm64).
#
# Runtime dependencies come from dpkg-shlibdeps over the packaged programs. For a cross build it
# reads the target's libraries and a dpkg database describing them (GW_SHLIBDEPS_ADMINDIR, which
# scripts/cross-aarch64 writes next to the sysroot), never the host's own.

set(GW_PACKAGE_VERSION "0.1.0" CACHE STRING "Version of the Debian package")
set(GW_EXIO_SERVICE_UNIT "" CACHE STRING
    "systemd unit of the robot controller's external IO service; the gateway's unit starts after it")

set(_gw_prefix /usr)
set(_gw_docdir share/doc/fins-gateway)

# Installed programs are the ones that exist in this tree at configure time.
foreach(_gw_program fins-gateway fins-plc-sim exio-sim fins-cli)
  if(TARGET ${_gw_program})
    install(TARGETS ${_gw_program} RUNTIME DESTINATION bin)
  endif()
endforeach()

set(GW_BIN_DIR ${_gw_prefix}/bin)
set(GW_DOC_DIR ${_gw_prefix}/${_gw_docdir})
configure_file(${PROJECT_SOURCE_DIR}/packaging/fins-gateway.service
               ${PROJECT_BINARY_DIR}/packaging/fins-gateway.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/fins-gateway.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/fins-gateway.sysusers
        DESTINATION lib/sysusers.d RENAME fins-gateway.conf)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${_gw_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fins-gateway)
set(CPACK_PACKAGE_VERSION ${GW_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "fins-gateway maintainers <fins-gateway@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "FINS/TCP gateway between an OMRON PLC and a robot controller's IO registers")
# CPack puts the summary first and indents these lines under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A daemon that connects to one OMRON PLC over FINS/TCP and keeps chosen PLC
memory and the robot controller's IO registers in step, in both directions.
Clients drive it over XML-RPC on port 9601; it reaches the robot through the
controller's external IO service (XML-RPC on 127.0.0.1:9602). It runs as the
systemd service fins-gateway. Simulators of both peers (fins-plc-sim,
exio-sim) are included for trying it without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${_gw_prefix})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

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
