# Warnings as errors on our own code only; third-party headers come in as SYSTEM.
function(quellar_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# A layer library: static, position independent, our warnings.
function(quellar_layer name)
  add_library(${name} STATIC ${ARGN})
  quellar_defaults(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

# One GoogleTest binary per layer, registered with ctest.
function(quellar_test name)
  add_executable(${name} ${ARGN})
  quellar_defaults(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QUELLAR_TEST_TMP=${CMAKE_BINARY_DIR}/testtmp")
endfunction()

function(quellar_bench name)
  add_executable(${name} ${ARGN})
  quellar_defaults(${name})
  target_link_libraries(${name} PRIVATE benchmark::benchmark benchmark::benchmark_main)
endfunction()
