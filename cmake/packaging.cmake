# Makes the library usable as a dependency: `cmake --install` puts the headers
# (tembrix.h and its C++ layer tembrix.hpp), the libraries, a CMake package
# (find_package(tembrix) -> tembrix::tembrix) and a pkg-config file into the
# prefix. On Windows the DLL also gets its
# version resource and an import library for MSVC's linker; on Linux the
# shared object gets its SONAME and a static twin. Every version number here
# is the project's.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(tembrix::tembrix ALIAS tembrix)
set(tbx_install_targets tembrix)
set(tbx_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tembrix)

if(WIN32)
  # ---- version resource --------------------------------------------------------
  enable_language(RC)
  set(TBX_FILE_DESCRIPTION "TEMBRIX: ${PROJECT_DESCRIPTION}")
  if(TBX_STDCALL)
    string(APPEND TBX_FILE_DESCRIPTION " (__stdcall interface)")
  endif()
  configure_file(library/tembrix.rc.in tembrix.rc @ONLY)
  # A target of its own: the library's C and C++ flags mean nothing to windres.
  add_library(tembrix_resource OBJECT ${PROJECT_BINARY_DIR}/tembrix.rc)
  target_sources(tembrix PRIVATE $<TARGET_OBJECTS:tembrix_resource>)
  # The PE header's image version (major.minor).
  set_target_properties(tembrix PROPERTIES VERSION ${PROJECT_VERSION})

  # ---- import library for MSVC's linker ------------------------------------------
  # Made from the export list, so it names exactly what the DLL exports. The
  # __stdcall flavour uses the decorated list its own import library was made
  # from (the step before this one): callers refer to _Name@N, and --kill-at
  # makes each of them import the undecorated name.
  # On x86, MSVC links with /SAFESEH by default and refuses objects that do
  # not declare themselves safe for it; the thunks register no exception
  # handler, so each member gets the marker (@feat.00 bit 0) that says so.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(tbx_machine i386:x86-64)
    set(tbx_safeseh "")
  else()
    set(tbx_machine i386)
    set(tbx_safeseh COMMAND ${CMAKE_OBJCOPY} --add-symbol @feat.00=1,local tembrix.lib)
  endif()
  if(TBX_STDCALL)
    set(tbx_msvc_def ${PROJECT_BINARY_DIR}/tembrix-stdcall.def)
    set(tbx_kill_at --kill-at)
  else()
    set(tbx_msvc_def ${PROJECT_SOURCE_DIR}/library/tembrix.def)
    set(tbx_kill_at "")
  endif()
  # Run beside the output: dlltool names the archive's members after it.
  add_custom_command(TARGET tembrix POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -m ${tbx_machine} ${tbx_kill_at} -d ${tbx_msvc_def}
            -D tembrix.dll -l tembrix.lib
    ${tbx_safeseh}
    WORKING_DIRECTORY $<TARGET_LINKER_FILE_DIR:tembrix>
    VERBATIM)
  install(FILES $<TARGET_LINKER_FILE_DIR:tembrix>/tembrix.lib library/tembrix.def
          DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(TBX_STDCALL)
    install(FILES ${tbx_msvc_def} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
else()
  # ---- SONAME and the static library -------------------------------------------
  set_target_properties(tembrix PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  # The shipped code as an archive: the sources of the shared library, without
  # the failure switch of the test build.
  add_library(tembrix_static STATIC ${TBX_SOURCES})
  tbx_library_options(tembrix_static)
  set_target_properties(tembrix_static PROPERTIES
    OUTPUT_NAME tembrix EXPORT_NAME tembrix_static POSITION_INDEPENDENT_CODE ON)
  add_library(tembrix::tembrix_static ALIAS tembrix_static)
  list(APPEND tbx_install_targets tembrix_static)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# ---- header, libraries, CMake package ---------------------------------------------
install(TARGETS ${tbx_install_targets} EXPORT tembrixTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/tembrix.h include/tembrix.hpp ${PROJECT_BINARY_DIR}/include/tembrix_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tembrixTargets NAMESPACE tembrix:: DESTINATION ${tbx_package_dir})
configure_package_config_file(cmake/tembrixConfig.cmake.in tembrixConfig.cmake
  INSTALL_DESTINATION ${tbx_package_dir} PATH_VARS CMAKE_INSTALL_LIBDIR)
# A request is met by this version or a later one of the same major number,
# never by a build of another pointer width.
write_basic_package_version_file(tembrixConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tembrixConfig.cmake ${PROJECT_BINARY_DIR}/tembrixConfigVersion.cmake
        DESTINATION ${tbx_package_dir})

# ---- pkg-config ---------------------------------------------------------------------
# The prefix is found from the file's own place, so the tree can be moved
# (an unpacked bundle, or `cmake --install --prefix` elsewhere).
file(RELATIVE_PATH TBX_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TBX_PC_TO_PREFIX "${TBX_PC_TO_PREFIX}")
set(TBX_PC_CFLAGS "")
if(TBX_STDCALL)
  set(TBX_PC_CFLAGS " -DTBX_USE_STDCALL")
endif()
set(TBX_PC_LIBS_PRIVATE "")
if(NOT WIN32)
  set(TBX_PC_LIBS_PRIVATE " -lstdc++ -lpthread")
endif()
configure_file(cmake/tembrix.pc.in tembrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tembrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
