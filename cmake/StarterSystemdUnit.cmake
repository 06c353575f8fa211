# The systemd unit that runs one dedicated server per game directory,
# installed only on request: cmake --install BUILD --component systemd.
set(STARTER_SYSTEMD_GAME_ROOT "/srv/brackmoor" CACHE PATH
    "Directory holding the game directories; the unit's instance name is one of them")
set(STARTER_SYSTEMD_USER "brackmoor" CACHE STRING
    "User (and group) the dedicated servers run as")
set(STARTER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd component installs the unit, relative to the prefix")

# The unit in packaging/ is usable as it is, with the defaults above; the
# installed copy carries the root and the user of this build.
set(unit_source ${PROJECT_SOURCE_DIR}/packaging/systemd/brackmoor-server@.service)
set(STARTER_SYSTEMD_UNIT ${PROJECT_BINARY_DIR}/packaging/brackmoor-server@.service)
file(READ ${unit_source} unit_text)
string(REPLACE "/srv/brackmoor" "${STARTER_SYSTEMD_GAME_ROOT}" unit_text
       "${unit_text}")
foreach(key User Group)
  string(REPLACE "\n${key}=brackmoor\n" "\n${key}=${STARTER_SYSTEMD_USER}\n"
         unit_text "${unit_text}")
endforeach()
file(CONFIGURE OUTPUT ${STARTER_SYSTEMD_UNIT} CONTENT "${unit_text}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${unit_source})
install(FILES ${STARTER_SYSTEMD_UNIT}
        DESTINATION ${STARTER_SYSTEMD_UNIT_DIR}
        COMPONENT systemd EXCLUDE_FROM_ALL)
