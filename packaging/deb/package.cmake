# Install rules and the Debian package (cpack -G DEB in a Release build).
#
# The agent finds its installation root from its own executable, so the root
# is /usr/lib/avagent and its cfg, log and tmp entries are links into the
# places Debian keeps such files:
#   /usr/lib/avagent/avagent   the agent (root of the installation)
#   /usr/lib/avagent/cfg  ->   /etc/avagent       configuration (conffile)
#   /usr/lib/avagent/log  ->   /var/log/avagent   log files
#   /usr/lib/avagent/tmp  ->   /var/lib/avagent   log level settings (dbglog.cfg)
# The links are absolute: they cross top-level directories.
set(AV_ROOT_DIR lib/avagent)
set(AV_DEB_DIR ${CMAKE_CURRENT_LIST_DIR})
set(AV_PACKAGE_MAINTAINER "avagent maintainers <avagent@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(AV_DEB_RELEASE 1 CACHE STRING "Debian revision of the package")

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS avagent RUNTIME DESTINATION ${AV_ROOT_DIR})
if(TARGET avagent-client)
  install(TARGETS avagent-client RUNTIME DESTINATION bin)
endif()
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${AV_ROOT_DIR}\")
  file(MAKE_DIRECTORY \"\${root}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin\")
  file(CREATE_LINK /etc/avagent \"\${root}/cfg\" SYMBOLIC)
  file(CREATE_LINK /var/log/avagent \"\${root}/log\" SYMBOLIC)
  file(CREATE_LINK /var/lib/avagent \"\${root}/tmp\" SYMBOLIC)
  file(CREATE_LINK ../${AV_ROOT_DIR}/avagent \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin/avagent\" SYMBOLIC)
")
# Holds the pre-shared key once the agent has stored it: never world-readable.
# The maintainer scripts hand the file and its folder to the avagent user, who
# rewrites it through a temporary file renamed over it.
install(FILES config/agentConfig.ini DESTINATION /etc/avagent
        PERMISSIONS OWNER_READ OWNER_WRITE)
install(FILES config/avagent.service DESTINATION /lib/systemd/system)

set(AV_DEB_VERSION "${AV_VERSION}-${AV_DEB_RELEASE}")
string(TIMESTAMP AV_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${AV_DEB_DIR}/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog.Debian @ONLY)
foreach(page avagent.8 avagent-client.1)
  configure_file(${AV_DEB_DIR}/${page} ${CMAKE_BINARY_DIR}/deb/${page} @ONLY)
endforeach()
find_program(AV_GZIP gzip)
if(AV_GZIP)
  # -n keeps the name and time out of the header, as Debian's tools do.
  set(AV_DEB_GZ ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz
                ${CMAKE_BINARY_DIR}/deb/avagent.8.gz ${CMAKE_BINARY_DIR}/deb/avagent-client.1.gz)
  add_custom_command(OUTPUT ${AV_DEB_GZ}
    COMMAND ${AV_GZIP} -9nf -k changelog.Debian avagent.8 avagent-client.1
    DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.Debian ${CMAKE_BINARY_DIR}/deb/avagent.8
            ${CMAKE_BINARY_DIR}/deb/avagent-client.1
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/deb)
  add_custom_target(avagent-deb-docs ALL DEPENDS ${AV_DEB_GZ})
  install(FILES ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz ${AV_DEB_DIR}/copyright
          DESTINATION share/doc/avagent)
  install(FILES ${AV_DEB_DIR}/lintian-overrides DESTINATION share/lintian/overrides
          RENAME avagent)
  install(FILES ${CMAKE_BINARY_DIR}/deb/avagent.8.gz DESTINATION share/man/man8)
  install(FILES ${CMAKE_BINARY_DIR}/deb/avagent-client.1.gz DESTINATION share/man/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME avagent)
set(CPACK_PACKAGE_VERSION ${AV_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "antivirus agent for network-attached storage")
set(CPACK_PACKAGE_DESCRIPTION "\
A daemon that runs beside an installed antivirus engine. A storage system
connects over TCP, proves that it knows the pre-shared key and sends file
scan and engine status jobs; the agent opens each file read-only through the
share mount so that the engine's on-access scanner inspects it, or asks an
ICAP server. The package also holds avagent-client, the storage system's
side of the protocol, for checks and tests.")
set(CPACK_DEBIAN_PACKAGE_VERSION ${AV_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${AV_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${AV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${AV_DEB_DIR}/conffiles ${AV_DEB_DIR}/postinst ${AV_DEB_DIR}/prerm ${AV_DEB_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
