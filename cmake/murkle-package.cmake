# The header-only engine as a CMake package for C++ users.
#
# The INTERFACE target murkle::engine carries the include directory and C++20. Headers
# install to <prefix>/include/murkle/engine (consumers write #include <murkle/engine/game.hpp>),
# the config files to <prefix>/share/cmake/murkle (the engine is architecture independent).
#
# `cmake --install <build>` installs them under CMAKE_INSTALL_PREFIX. In a wheel build they go
# to the wheel's data directory, which pip unpacks into the environment's prefix (sys.prefix in
# a virtual environment), so find_package(murkle) finds them with that prefix on
# CMAKE_PREFIX_PATH.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Headers under a murkle/ directory in the build tree too, so that a project that adds this one
# as a subdirectory includes them by the same names as after installation.
set(MURKLE_BUILD_INCLUDE_DIR "${CMAKE_CURRENT_BINARY_DIR}/include")
file(MAKE_DIRECTORY "${MURKLE_BUILD_INCLUDE_DIR}/murkle")
if(POLICY CMP0205)
  cmake_policy(SET CMP0205 NEW)  # where a link cannot be made, copy the whole directory
endif()
file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}/src/engine" "${MURKLE_BUILD_INCLUDE_DIR}/murkle/engine"
     SYMBOLIC COPY_ON_ERROR)

add_library(murkle_engine INTERFACE)
add_library(murkle::engine ALIAS murkle_engine)
set_target_properties(murkle_engine PROPERTIES EXPORT_NAME engine)
target_compile_features(murkle_engine INTERFACE cxx_std_20)
target_include_directories(murkle_engine INTERFACE
  $<BUILD_INTERFACE:${MURKLE_BUILD_INCLUDE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# One version for the Python package and the C++ package: pyproject.toml's.
if(DEFINED SKBUILD_PROJECT_VERSION)
  set(MURKLE_VERSION "${SKBUILD_PROJECT_VERSION}")
else()
  file(STRINGS "${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml" _murkle_version_line
       REGEX "^version *= *\"[0-9.]+\"" LIMIT_COUNT 1)
  string(REGEX MATCH "[0-9.]+" MURKLE_VERSION "${_murkle_version_line}")
endif()

set(MURKLE_CMAKE_DIR "${CMAKE_INSTALL_DATADIR}/cmake/murkle")
configure_package_config_file(
  "${CMAKE_CURRENT_SOURCE_DIR}/cmake/murkle-config.cmake.in"
  "${CMAKE_CURRENT_BINARY_DIR}/murkle-config.cmake"
  INSTALL_DESTINATION "${MURKLE_CMAKE_DIR}")
write_basic_package_version_file(
  "${CMAKE_CURRENT_BINARY_DIR}/murkle-config-version.cmake"
  VERSION "${MURKLE_VERSION}"
  COMPATIBILITY SameMinorVersion
  ARCH_INDEPENDENT)

# The rules of the component "murkle_engine", all with destinations relative to the prefix so
# that the installed package is relocatable.
if(DEFINED SKBUILD_DATA_DIR)
  # A wheel build installs everything else into the wheel's platlib directory; this component
  # is left out of that install and installed by itself with the data directory as prefix.
  set(_murkle_exclude EXCLUDE_FROM_ALL)
else()
  set(_murkle_exclude)
endif()
install(TARGETS murkle_engine EXPORT murkle-targets COMPONENT murkle_engine)
install(DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/src/engine/"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/murkle/engine"
        COMPONENT murkle_engine ${_murkle_exclude}
        FILES_MATCHING PATTERN "*.hpp")
install(EXPORT murkle-targets
        NAMESPACE murkle::
        DESTINATION "${MURKLE_CMAKE_DIR}"
        COMPONENT murkle_engine ${_murkle_exclude})
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/murkle-config.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/murkle-config-version.cmake"
        DESTINATION "${MURKLE_CMAKE_DIR}"
        COMPONENT murkle_engine ${_murkle_exclude})
if(DEFINED SKBUILD_DATA_DIR)
  install(CODE "
    execute_process(COMMAND \"${CMAKE_COMMAND}\" --install \"${CMAKE_CURRENT_BINARY_DIR}\"
                            --component murkle_engine --prefix \"${SKBUILD_DATA_DIR}\"
                    COMMAND_ERROR_IS_FATAL ANY)")
endif()
