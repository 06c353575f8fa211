# starter_subsystem(NAME SOURCES...): an object library of the core.
function(starter_subsystem name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PUBLIC
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC CURL::libcurl ZLIB::ZLIB utf8cpp
                        PRIVATE standard_settings)
endfunction()
