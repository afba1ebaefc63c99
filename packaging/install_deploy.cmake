# Installs what depends on the prefix chosen at install time (`cmake --install --prefix P`, or
# /usr for the package): the unit must name the installed server, and /usr puts the logrotate file
# in /etc, where logrotate reads it. Set before it runs: DEPLOY_DIR, STAGE_DIR, BIN_DIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc /etc)
else()
  set(etc ${CMAKE_INSTALL_PREFIX}/etc)
endif()
file(READ ${DEPLOY_DIR}/systemd/connchk-server.service unit)
string(REPLACE "/usr/bin/connchk-server" "${CMAKE_INSTALL_PREFIX}/${BIN_DIR}/connchk-server" unit "${unit}")
file(WRITE ${STAGE_DIR}/connchk-server.service "${unit}")
file(INSTALL ${STAGE_DIR}/connchk-server.service DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
file(INSTALL ${DEPLOY_DIR}/logrotate/connchk-server DESTINATION ${etc}/logrotate.d)
