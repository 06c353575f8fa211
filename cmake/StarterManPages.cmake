# The manual pages, rendered with scdoc from docs/man/NAME.SECTION.scd into
# NAME.SECTION and installed under the manual directory of their section.
# A new page is one more file in docs/man. Built on request only
# (-DSTARTER_BUILD_MANPAGES=ON), so that other builds do not need scdoc.
find_program(SCDOC scdoc REQUIRED)

file(GLOB man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
set(man_pages)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
foreach(source ${man_sources})
  get_filename_component(page ${source} NAME_WLE)
  string(REGEX MATCH "[1-9]$" section ${page})
  if(NOT section)
    message(FATAL_ERROR "${source}: name a page NAME.SECTION.scd")
  endif()
  set(rendered ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${rendered}
    COMMAND sh -c "\"$1\" < \"$2\" > \"$3.new\" && mv \"$3.new\" \"$3\""
            scdoc ${SCDOC} ${source} ${rendered}
    DEPENDS ${source}
    COMMENT "Rendering the manual page ${page}"
    VERBATIM)
  install(FILES ${rendered} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND man_pages ${rendered})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
