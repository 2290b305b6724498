# Installation: the programs, the virtual recorder library, the burner library
# with its headers, pkg-config file and CMake package, and the Debian package.
include(CMakePackageConfigHelpers)

set(MBURN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MicroBurner)

install(TARGETS mburn_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(program microburner vrecorder)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# Loaded with dlopen by path, so it needs no soname and stays out of the
# loader's own folders.
if(TARGET vrecorder_lib AND NOT MBURN_FUZZ)
  get_target_property(vrec_type vrecorder_lib TYPE)
  if(vrec_type STREQUAL "SHARED_LIBRARY")
    install(TARGETS vrecorder_lib LIBRARY DESTINATION ${MBURN_PLUGIN_DIR})
  endif()
endif()

# The burner component for other programs: find_package(MicroBurner) gives
# MicroBurner::mburn; pkg-config --cflags --libs microburner does the same.
install(TARGETS mburn EXPORT MicroBurnerTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# A stripping install (--strip, the package) takes the debug information out of
# the archive as well, as Debian does; the symbols stay.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug --enable-deterministic-archives
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:mburn>\")
  endif()")
foreach(header common/common.h transport/transport.h drive/drive.h iso/iso.h
        stream/stream.h record/record.h)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES src/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/microburner/${subdir})
endforeach()
install(EXPORT MicroBurnerTargets NAMESPACE MicroBurner:: DESTINATION ${MBURN_CMAKE_DIR})
configure_package_config_file(cmake/MicroBurnerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/MicroBurnerConfig.cmake INSTALL_DESTINATION ${MBURN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/MicroBurnerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/MicroBurnerConfig.cmake
        ${CMAKE_BINARY_DIR}/MicroBurnerConfigVersion.cmake DESTINATION ${MBURN_CMAKE_DIR})
# The .pc file is made at install time, so that it names the prefix actually
# installed into (cmake --install --prefix).
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
  set(includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(version \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/cmake/microburner.pc.in\"
                 \"${CMAKE_BINARY_DIR}/microburner.pc\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/microburner.pc\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")")

# cpack -G DEB in the build folder: one package, mburn, for /usr.
set(CPACK_PACKAGE_NAME mburn)
set(CPACK_PACKAGE_VENDOR "Bramblewood")
set(CPACK_PACKAGE_CONTACT "Micro Burner developers <microburner@bramblewood.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record a folder onto a CD or DVD")
set(CPACK_PACKAGE_DESCRIPTION
  "Micro Burner records a folder onto a writable CD or DVD as an ISO 9660 disc\n"
  "with a Joliet tree, talking to the recorder with SCSI MultiMedia Commands.\n"
  "It has a small window (microburner), a command-line program (mburn) and a\n"
  "virtual recorder whose disc is an image file (vrecorder), so a disc can be\n"
  "made and checked without an optical drive.\n"
  "The burner library, its headers and build files are included.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xorriso, libarchive-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
