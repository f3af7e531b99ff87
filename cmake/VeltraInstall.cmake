# Installation: the three shared objects under their SONAME file names, the public headers,
# the vibemesh command, a relocatable CMake package (find_package(VeltraVibeMesh) with the
# imported targets VeltraVibeMesh::vibemesh, ::manager and ::catalog) and one pkg-config file
# per library. Everything locates itself relative to the prefix, so `cmake --install BUILD
# --prefix DIR` into any folder gives a working tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELTRA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VeltraVibeMesh)
set(VELTRA_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The libraries find each other beside themselves, the command finds them in ../lib.
set_target_properties(veltra_manager PROPERTIES EXPORT_NAME manager)
set_target_properties(veltra_vibemesh PROPERTIES EXPORT_NAME vibemesh INSTALL_RPATH "$ORIGIN")
set(VELTRA_INSTALL_TARGETS veltra_manager veltra_vibemesh)
if(TARGET veltra_catalog)
  set_target_properties(veltra_catalog PROPERTIES EXPORT_NAME catalog INSTALL_RPATH "$ORIGIN")
  list(APPEND VELTRA_INSTALL_TARGETS veltra_catalog)
endif()

install(TARGETS ${VELTRA_INSTALL_TARGETS} EXPORT VeltraVibeMeshTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/veltra_vibemesh.h ${CMAKE_SOURCE_DIR}/include/veltra_manager.h
              ${CMAKE_SOURCE_DIR}/manager/include/veltra_manager_app.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/plx DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
if(TARGET veltra_catalog)
  install(FILES ${CMAKE_SOURCE_DIR}/catalog/include/veltra_catalog.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
if(TARGET vibemesh)
  set_target_properties(vibemesh PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS vibemesh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The CMake package.
install(EXPORT VeltraVibeMeshTargets NAMESPACE VeltraVibeMesh::
        DESTINATION ${VELTRA_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/VeltraVibeMeshConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/VeltraVibeMeshConfig.cmake
  INSTALL_DESTINATION ${VELTRA_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/VeltraVibeMeshConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/VeltraVibeMeshConfig.cmake
              ${CMAKE_BINARY_DIR}/package/VeltraVibeMeshConfigVersion.cmake
        DESTINATION ${VELTRA_INSTALL_CMAKEDIR})

# pkg-config files; their prefix is found from where the file lies.
file(RELATIVE_PATH VELTRA_PC_UP /prefix/${VELTRA_INSTALL_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" VELTRA_PC_UP "${VELTRA_PC_UP}")
function(veltra_pkgconfig name description requires)
  set(PC_NAME ${name})
  set(PC_DESCRIPTION ${description})
  set(PC_REQUIRES ${requires})
  set(PC_LIBRARY ${name}.${VELTRA_SO_VERSION})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/veltra.pc.in ${CMAKE_BINARY_DIR}/package/${name}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/${name}.pc DESTINATION ${VELTRA_INSTALL_PKGCONFIGDIR})
endfunction()
veltra_pkgconfig(veltra_manager "Host manager: memory, logging, handles, users, lists, interfaces" "")
veltra_pkgconfig(veltra_vibemesh "Mood grid module with its plx support layer" "veltra_manager")
if(TARGET veltra_catalog)
  veltra_pkgconfig(veltra_catalog "Music catalog datasource for the mood grid" "veltra_vibemesh")
endif()
