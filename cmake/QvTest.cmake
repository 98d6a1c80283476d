# Test helpers shared by the test, fuzz and benchmark folders.
include(GoogleTest)

# qv_gtest(<name> SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest executable; every test case becomes its own ctest test.
function(qv_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # Test code builds quickly rather than runs quickly: what it drives (the daemon, the library)
  # keeps its own optimisation, and a few test files share one compilation of the framework's
  # headers (test files keep their file-local names distinct for this).
  target_compile_options(${name} PRIVATE -O0)
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300
                                  ENVIRONMENT "${QV_TEST_ENVIRONMENT}")
endfunction()

# qv_gtest_dir(<prefix> <dir> LIBS ... [LABELS ...])
# Every *_test.cc in <dir> goes into <prefix>_tests (labelled "unit" unless LABELS says
# otherwise); files named *_gl_test.cc need a GL context and go into <prefix>_gl_tests,
# labelled "gl".
function(qv_gtest_dir prefix dir)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*_test.cc)
  set(plain)
  set(gl)
  foreach(f ${all})
    if(f MATCHES "_gl_test\\.cc$")
      list(APPEND gl ${f})
    else()
      list(APPEND plain ${f})
    endif()
  endforeach()
  file(GLOB helpers CONFIGURE_DEPENDS ${dir}/*_helper.cc)
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(plain)
    qv_gtest(${prefix}_tests SOURCES ${plain} ${helpers} LIBS ${ARG_LIBS} LABELS ${ARG_LABELS})
  endif()
  # No GL driver runs under qemu: a cross build has no GL tests to run, so it builds none.
  if(gl AND NOT CMAKE_CROSSCOMPILING)
    qv_gtest(${prefix}_gl_tests SOURCES ${gl} ${helpers} LIBS ${ARG_LIBS} LABELS gl)
  endif()
endfunction()
