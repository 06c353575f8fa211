# The systemd units of server hosts, installed only on request:
# cmake --install BUILD --component systemd. brackmoor-server@.service runs
# one dedicated server per game directory; brackmoor-update-check@.service
# and its timer tell whether its next start would update the directory;
# brackmoor-stage@.service and its timer fetch what that start would download
# into the directory's staging area beforehand.
set(STARTER_SYSTEMD_GAME_ROOT "/srv/brackmoor" CACHE PATH
    "Directory holding the game directories; the unit's instance name is one of them")
set(STARTER_SYSTEMD_USER "brackmoor" CACHE STRING
    "User (and group) the dedicated servers run as")
set(STARTER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd component installs the units, relative to the prefix")

# The units in packaging/ are usable as they are, with the defaults above and
# the tools in /usr/bin; the installed copies carry the root and the user of
# this build, and the check and the staging run this build's starter-verify
# and starter-stage from its install prefix (CMAKE_INSTALL_PREFIX).
set(STARTER_SYSTEMD_UNITS)
foreach(unit brackmoor-server@.service brackmoor-update-check@.service
             brackmoor-update-check@.timer brackmoor-stage@.service
             brackmoor-stage@.timer)
  set(unit_source ${PROJECT_SOURCE_DIR}/packaging/systemd/${unit})
  file(READ ${unit_source} unit_text)
  string(REPLACE "/srv/brackmoor" "${STARTER_SYSTEMD_GAME_ROOT}" unit_text
         "${unit_text}")
  foreach(tool starter-verify starter-stage)
    string(REPLACE "/usr/bin/${tool}" "${CMAKE_INSTALL_FULL_BINDIR}/${tool}"
           unit_text "${unit_text}")
  endforeach()
  foreach(key User Group)
    string(REPLACE "\n${key}=brackmoor\n" "\n${key}=${STARTER_SYSTEMD_USER}\n"
           unit_text "${unit_text}")
  endforeach()
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/packaging/${unit}
       CONTENT "${unit_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${unit_source})
  list(APPEND STARTER_SYSTEMD_UNITS ${PROJECT_BINARY_DIR}/packaging/${unit})
endforeach()
install(FILES ${STARTER_SYSTEMD_UNITS}
        DESTINATION ${STARTER_SYSTEMD_UNIT_DIR}
        COMPONENT systemd EXCLUDE_FROM_ALL)
