# Project-wide helpers: tests, fuzzers, benchmarks and folder discovery.

set(ORV_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# Adds every immediate sub-folder of the current source folder that has a
# CMakeLists.txt, in name order, so that areas can be added without editing
# the parent list.
function(orv_add_subdirs)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# Generated code (omniidl, our own generators) is not held to -Werror.
function(orv_relax_warnings target)
  target_compile_options(${target} PRIVATE -w)
endfunction()

# orv_add_test(NAME SOURCES src... [LIBS lib...] [ENV VAR=value...] [LABELS l...]
#              [LOCK resource])
# A GoogleTest executable whose cases are discovered into CTest. LOCK names a
# resource that its cases never share with another test holding the same one.
function(orv_add_test name)
  cmake_parse_arguments(T "" "LOCK" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set(props)
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST
                       PROPERTIES ${props})
endfunction()

# orv_add_fuzzer(NAME SOURCES src... [LIBS lib...] CORPUS dir)
# With ORV_FUZZ: a libFuzzer binary in <build>/fuzzers/ with a note of its seed
# corpus, which scripts/fuzz runs for a bounded time. Without it: a replay
# program that feeds every seed file through the same entry point, run as a
# CTest test, so each build still exercises the target.
function(orv_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(ORV_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
    file(WRITE ${CMAKE_BINARY_DIR}/fuzzers/${name}.corpus "${F_CORPUS}\n")
  else()
    add_executable(${name}_replay ${F_SOURCES} ${ORV_SOURCE_DIR}/cmake/fuzz_replay_main.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
  endif()
endfunction()

# orv_add_bench(NAME SOURCES src... [LIBS lib...])
# Google Benchmark programs; built in optimised builds without sanitizers.
# Each takes its main from bench/BenchMain.h.
function(orv_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT benchmark_FOUND OR ORV_SANITIZE OR ORV_FUZZ)
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_include_directories(${name} PRIVATE ${ORV_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
