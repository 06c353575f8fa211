# starter_subsystem(FOLDER [USES folder...] SOURCES file... [LIBRARIES lib...])
#
# One object library of the core, starter_<FOLDER>, built from src/<FOLDER>.
# Its sources see the public headers (include/), the headers of their own
# folder and those of the folders it USES, nothing else of src/: an include
# from a folder it may not use fails to compile. The visible folders are
# symbolic links in a private include root under the build tree, so every
# include keeps its "folder/file.h" form.
#
# Subsystems are declared bottom-up, and a subsystem may only use folders
# declared before it, so the folders can never include each other in a
# circle.
function(starter_subsystem folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES;SOURCES;LIBRARIES")
  get_property(declared GLOBAL PROPERTY STARTER_FOLDERS)
  foreach(used ${arg_USES})
    if(NOT used IN_LIST declared)
      message(FATAL_ERROR "src/${folder} uses src/${used}, which is not "
              "declared below it: the folders must form layers")
    endif()
  endforeach()
  set(target starter_${folder})
  add_library(${target} OBJECT ${arg_SOURCES})
  starter_include_root(${folder} root ${folder} ${arg_USES})
  target_include_directories(${target} PRIVATE ${root}
                             ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(${target} PRIVATE standard_settings
                        PUBLIC ${arg_LIBRARIES})
  set_property(GLOBAL APPEND PROPERTY STARTER_FOLDERS ${folder})
  set_property(GLOBAL PROPERTY STARTER_USES_${folder} ${arg_USES})
endfunction()

# starter_include_root(NAME OUT_VAR folder...): makes the include root NAME
# that shows exactly the given folders of src/, and stores its path in
# OUT_VAR.
function(starter_include_root name out_var)
  set(root ${PROJECT_BINARY_DIR}/include_roots/${name})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(visible ${ARGN})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${visible} ${root}/${visible}
         SYMBOLIC)
  endforeach()
  set(${out_var} ${root} PARENT_SCOPE)
endfunction()
