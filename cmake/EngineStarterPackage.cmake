# The boundary with game modules: the public headers as the INTERFACE target
# EngineStarter::module, installed with a CMake package so that a module
# author builds with find_package(EngineStarter).
include(CMakePackageConfigHelpers)

add_library(engine_starter_module INTERFACE)
add_library(EngineStarter::module ALIAS engine_starter_module)
set_target_properties(engine_starter_module PROPERTIES EXPORT_NAME module)
target_include_directories(engine_starter_module INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(engine_starter_module INTERFACE cxx_std_20)

set(ENGINE_STARTER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/EngineStarter)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/engine_starter
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(TARGETS engine_starter_module EXPORT EngineStarterTargets)
install(EXPORT EngineStarterTargets
        NAMESPACE EngineStarter::
        DESTINATION ${ENGINE_STARTER_CMAKE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/EngineStarterConfig.cmake.in
  ${PROJECT_BINARY_DIR}/EngineStarterConfig.cmake
  INSTALL_DESTINATION ${ENGINE_STARTER_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/EngineStarterConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
  ARCH_INDEPENDENT)
install(FILES
  ${PROJECT_BINARY_DIR}/EngineStarterConfig.cmake
  ${PROJECT_BINARY_DIR}/EngineStarterConfigVersion.cmake
  DESTINATION ${ENGINE_STARTER_CMAKE_DIR})
