# Installs the libraries from BUILD_DIR into a fresh prefix under WORK_DIR,
# builds EXAMPLE_DIR against that installation as an outside project would,
# with GLUT out of reach, and runs the example with no display: its relative
# residual must be below MAX_RESIDUAL. With INSTALLED_VERSION, a project that
# asks for the next major version must be refused this installation, which
# must say it is INSTALLED_VERSION.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLE_DIR=... -DEXAMPLE_NAME=...
#         -DGENERATOR=... -DMAX_RESIDUAL=... [-DCONFIG=...] [-DINSTALLED_VERSION=...]
#         -P ConsumeInstalledPackage.cmake

foreach(required BUILD_DIR WORK_DIR EXAMPLE_DIR EXAMPLE_NAME GENERATOR MAX_RESIDUAL)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "${required} is not set")
  endif()
endforeach()
if(NOT CONFIG)
  set(CONFIG Release)
endif()

set(prefix ${WORK_DIR}/prefix)
set(example_build ${WORK_DIR}/example)
file(REMOVE_RECURSE ${WORK_DIR})

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${step} failed (${status}):\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})

# Only the installation may satisfy find_package: no package registry, and
# the prefix first. A package that still asked for GLUT would not be found.
run("configure the example" ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${example_build} -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
  -DCMAKE_DISABLE_FIND_PACKAGE_GLUT=ON)
file(STRINGS ${example_build}/CMakeCache.txt found REGEX "^Zentor_DIR:")
if(NOT found MATCHES "=${prefix}/")
  message(FATAL_ERROR "the example found another Zentor: ${found}")
endif()

if(DEFINED INSTALLED_VERSION)
  string(REGEX MATCH "^[0-9]+" major ${INSTALLED_VERSION})
  math(EXPR next_major "${major} + 1")
  set(probe ${WORK_DIR}/newer-major)
  file(WRITE ${probe}/CMakeLists.txt "cmake_minimum_required(VERSION 3.20)
project(ZentorVersionProbe LANGUAGES CXX)
find_package(Zentor ${next_major}.0 QUIET)
message(\"found '\${Zentor_FOUND}' considered '\${Zentor_CONSIDERED_VERSIONS}'\")
")
  run("configure the version probe" ${CMAKE_COMMAND} -S ${probe} -B ${probe}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
  # The example found everything the package needs, so only the version can
  # refuse it here.
  if(NOT output MATCHES "found '(0|FALSE)' considered '${INSTALLED_VERSION}'")
    message(FATAL_ERROR "find_package(Zentor ${next_major}.0) should see ${INSTALLED_VERSION} and refuse it:\n${output}")
  endif()
endif()

run("build the example" ${CMAKE_COMMAND} --build ${example_build} --config ${CONFIG})

find_program(example NAMES ${EXAMPLE_NAME} PATHS ${example_build} ${example_build}/${CONFIG} NO_DEFAULT_PATH)
if(NOT example)
  message(FATAL_ERROR "no ${EXAMPLE_NAME} in ${example_build}")
endif()
run("run the example" ${CMAKE_COMMAND} -E env --unset=DISPLAY ${example})
message("${output}")

if(NOT output MATCHES "relative residual( in double)?: ([-+0-9.eE]+)")
  message(FATAL_ERROR "the example printed no residual")
endif()
set(residual ${CMAKE_MATCH_2})
if(NOT residual LESS MAX_RESIDUAL)
  message(FATAL_ERROR "relative residual ${residual} is not below ${MAX_RESIDUAL}")
endif()
