# Installs the libraries with their public headers and an exported CMake
# package, so that another project can write
#
#   find_package(Zentor REQUIRED)
#   target_link_libraries(app PRIVATE Zentor::linalg Zentor::headless)
#
# (Zentor::headless only where the program has no window of its own.)
# Headers keep their subsystem directories under include/zentor, so code
# includes them as "gpu/Framework.h" or "linalg/CgSolver.h" both in this tree
# and against an installation.

include(CMakePackageConfigHelpers)

set(ZENTOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zentor)
set(ZENTOR_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/zentor)

# Only what a user of the libraries includes; the kernels' build helpers and
# GLSL sources stay private.
set(ZENTOR_PUBLIC_GPU_HEADERS
  Framework.h
  FullScreenPass.h
  HeadlessContext.h
  ResourcePool.h
  ShaderProgram.h)
set(ZENTOR_PUBLIC_LINALG_HEADERS
  BandMatrix.h
  CgSolver.h
  GpuElement.h
  GpuPreconditioner.h
  GpuScalar.h
  GpuVector.h
  GridOperator.h
  GridOperatorBuilder.h
  GridStencil.h
  MultigridHierarchy.h
  MultigridPreconditioner.h
  PackedVector.h
  SolveReport.h
  UnpackedVector.h)

list(TRANSFORM ZENTOR_PUBLIC_GPU_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/gpu/)
list(TRANSFORM ZENTOR_PUBLIC_LINALG_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/linalg/)
install(FILES ${ZENTOR_PUBLIC_GPU_HEADERS} DESTINATION ${ZENTOR_INSTALL_HEADERDIR}/gpu)
install(FILES ${ZENTOR_PUBLIC_LINALG_HEADERS} DESTINATION ${ZENTOR_INSTALL_HEADERDIR}/linalg)

install(TARGETS zentor_gpu zentor_headless zentor_linalg
  EXPORT ZentorTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT ZentorTargets
  NAMESPACE Zentor::
  DESTINATION ${ZENTOR_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZentorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZentorConfig.cmake
  INSTALL_DESTINATION ${ZENTOR_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may change what calls do (CHANGELOG.md lists it
# under "Changed"), so find_package(Zentor 0.3) takes 0.3.0 and its patch
# releases, and refuses 0.2, 0.4 and any other major version. From 1.0 on,
# SameMajorVersion will say the same of the major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZentorConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/ZentorConfig.cmake
  ${PROJECT_BINARY_DIR}/ZentorConfigVersion.cmake
  DESTINATION ${ZENTOR_INSTALL_CMAKEDIR})
# The license travels with every copy of the libraries.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
