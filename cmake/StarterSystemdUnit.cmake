# The systemd unit that runs one dedicated server per game directory,
# installed only on request: cmake --install BUILD --component systemd.
set(STARTER_SYSTEMD_GAME_ROOT "/srv/brackmoor" CACHE PATH
    "Directory holding the game directories; the unit's instance name is one of them")
set(STARTER_SYSTEMD_USER "brackmoor" CACHE STRING
    "User (and group) the dedicated servers run as")
set(STARTER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd component installs the unit, relative to the prefix")

set(STARTER_SYSTEMD_UNIT ${PROJECT_BINARY_DIR}/packaging/brackmoor-server@.service)
configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/brackmoor-server@.service.in
               ${STARTER_SYSTEMD_UNIT} @ONLY)
install(FILES ${STARTER_SYSTEMD_UNIT}
        DESTINATION ${STARTER_SYSTEMD_UNIT_DIR}
        COMPONENT systemd EXCLUDE_FROM_ALL)
