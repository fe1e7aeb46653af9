# The library's two GL test executables and their sources: built for the
# desktop here (CMakeLists.txt) and for the browser (tests/web), so that both
# run the same suites.
set(ZENTOR_LINALG_VECTOR_TEST_SOURCES ScalarTest.cpp VectorKernelTest.cpp UnpackedVectorTest.cpp)
set(ZENTOR_LINALG_SOLVER_TEST_SOURCES PackedBandTest.cpp ToleranceSolveTest.cpp MisuseTest.cpp
  MultigridTest.cpp)
