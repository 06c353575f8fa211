# starter_subsystem(NAME SOURCES...): an object library of the core.
function(starter_subsystem name)
  set(sources ${ARGN})
  if(NOT sources)
    # A subsystem whose files have not landed yet.
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty_subsystem.cc)
  endif()
  add_library(${name} OBJECT ${sources})
  target_include_directories(${name} PUBLIC
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC CURL::libcurl ZLIB::ZLIB utf8cpp
                        PRIVATE standard_settings)
endfunction()
