# The player as one library for host programs, and everything
# `cmake --install` puts in place: library, header, executable, man page,
# CMake package and pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# One archive holding the whole player. The executable already owns the
# name `tunedump`, so the target has its own name and is exported as
# tunedump::tunedump.
add_library(td_library STATIC
  $<TARGET_OBJECTS:td_sdtable> $<TARGET_OBJECTS:td_mixer> $<TARGET_OBJECTS:td_driver>
  $<TARGET_OBJECTS:td_replayer> $<TARGET_OBJECTS:td_player>)
set_target_properties(td_library PROPERTIES OUTPUT_NAME tunedump EXPORT_NAME tunedump
  LINKER_LANGUAGE CXX)
target_include_directories(td_library INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# A sanitized library needs the sanitizer runtime in every program that links it.
if(TUNEDUMP_SANITIZE)
  target_link_options(td_library INTERFACE -fsanitize=address,undefined)
endif()
add_library(tunedump::tunedump ALIAS td_library)

install(TARGETS td_library EXPORT tunedumpTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS tunedump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tunedump/tunedump.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tunedump)
install(FILES ${PROJECT_SOURCE_DIR}/man/tunedump.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(td_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/tunedump)
install(EXPORT tunedumpTargets NAMESPACE tunedump:: DESTINATION ${td_cmakedir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tunedumpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tunedumpConfig.cmake INSTALL_DESTINATION ${td_cmakedir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tunedumpConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tunedumpConfig.cmake
  ${PROJECT_BINARY_DIR}/tunedumpConfigVersion.cmake DESTINATION ${td_cmakedir})

# A C program linking the archive also needs the C++ runtime: the libraries
# the C++ compiler adds by itself that the C compiler does not.
set(td_pc_libs ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
  list(REMOVE_ITEM td_pc_libs ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
endif()
list(REMOVE_DUPLICATES td_pc_libs)
list(TRANSFORM td_pc_libs PREPEND -l)
if(TUNEDUMP_SANITIZE)
  list(APPEND td_pc_libs -fsanitize=address,undefined)
endif()
list(JOIN td_pc_libs " " TUNEDUMP_PC_LIBS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tunedump.pc.in ${PROJECT_BINARY_DIR}/tunedump.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tunedump.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
