# Install rules: the tool and the companion command talvex_composite in bin/,
# the subsystem libraries in lib/, their public headers under
# include/talvex_composite_deploy/<folder>/, the two manual pages, the
# companion's shell completion for bash, zsh and fish, and a CMake
# package so that find_package(talvex_composite_deploy) gives the targets
# talvex::core_placement, talvex::core_app and the rest (talvex::core_system_file
# reads system files; toml++ and nlohmann/json are compiled into it, so its
# users need neither). The companion's
# library core_companion is internal: the command is its interface, so neither
# the library nor its headers are part of the package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(talvex_libraries
  core_common core_orchestration core_placement core_estimation core_deployment core_host
  core_files core_json_text core_system_file core_app)
set(talvex_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${PROJECT_NAME})
set(talvex_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/${PROJECT_NAME})

# A shared build (BUILD_SHARED_LIBS) finds its libraries from the commands'
# bin/ folder and from each other, wherever the prefix is; before 1.0 every
# minor release is a new ABI.
set_target_properties(talvex_composite_deploy talvex_composite PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
foreach(library IN LISTS talvex_libraries)
  if(NOT library STREQUAL "core_common")
    set_target_properties(${library} PROPERTIES
      INSTALL_RPATH "$ORIGIN"
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  endif()
endforeach()

# A sanitized build's static libraries need the sanitizer runtimes in whatever
# links them.
if(TALVEX_SANITIZE)
  foreach(library IN LISTS talvex_libraries)
    if(NOT library STREQUAL "core_common")
      target_link_options(${library} INTERFACE
        $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
    endif()
  endforeach()
endif()

install(TARGETS talvex_composite_deploy
  EXPORT talvex_composite_deploy_targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The companion command, outside the package's export set; its library is
# always static, inside the executable.
install(TARGETS talvex_composite RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Only the headers in a library's public file set (HEADERS) are installed;
# internal ones stay out, and scripts/check-install.sh compiles every installed
# header on its own to prove that none of them needs an internal one.
install(TARGETS ${talvex_libraries}
  EXPORT talvex_composite_deploy_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${talvex_include_dir}
  INCLUDES DESTINATION ${talvex_include_dir})

install(EXPORT talvex_composite_deploy_targets
  FILE ${PROJECT_NAME}Targets.cmake
  NAMESPACE talvex::
  DESTINATION ${talvex_package_dir})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/${PROJECT_NAME}Config.cmake.in
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}Config.cmake
  INSTALL_DESTINATION ${talvex_package_dir})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}Config.cmake
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}ConfigVersion.cmake
  DESTINATION ${talvex_package_dir})

install(FILES ${PROJECT_SOURCE_DIR}/${PROJECT_NAME}.1 ${PROJECT_SOURCE_DIR}/talvex_composite.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Shell completion, where bash-completion, zsh and fish look for it.
install(FILES ${talvex_completion_dir}/talvex_composite.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME talvex_composite)
install(FILES ${talvex_completion_dir}/_talvex_composite
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
install(FILES ${talvex_completion_dir}/talvex_composite.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
