# Shared compile settings for every engine target, test and program.
add_library(ivl_options INTERFACE)
target_include_directories(ivl_options INTERFACE "${CMAKE_SOURCE_DIR}/engine")
target_compile_definitions(ivl_options INTERFACE
  _WIN32_WINNT=0x0601 WINVER=0x0601 __MINGW_USE_VC2005_COMPAT NOMINMAX)
target_compile_options(ivl_options INTERFACE
  -gdwarf-4 -fno-omit-frame-pointer -Wall -Wextra -Wno-unused-parameter -Wno-cast-function-type
  $<$<COMPILE_LANGUAGE:CXX>:-Wno-class-memaccess>)
target_link_options(ivl_options INTERFACE -static -static-libgcc -static-libstdc++)

# ivl_library(<name> <log category> [sources...])
# An area without sources yet is an interface target, so others can already link it.
function(ivl_library name category)
  if(ARGN)
    add_library(${name} STATIC ${ARGN})
    target_link_libraries(${name} PUBLIC ivl_options)
    target_compile_definitions(${name} PRIVATE "ZLOG_CATEGORY=\"${category}\"")
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ivl_options)
  endif()
endfunction()

# ivl_program(<name> <log category> [WIN32] SOURCES ... LIBS ...)
function(ivl_program name category)
  cmake_parse_arguments(P "WIN32" "" "SOURCES;LIBS" ${ARGN})
  if(P_WIN32)
    add_executable(${name} WIN32 ${P_SOURCES})
  else()
    add_executable(${name} ${P_SOURCES})
  endif()
  target_link_libraries(${name} PRIVATE ivl_options ${P_LIBS})
  target_compile_definitions(${name} PRIVATE "ZLOG_CATEGORY=\"${category}\"")
endfunction()

# Tests are registered through these two only, so that every test gets a time-out and its locks.
# ivl_add_test(<name> SOURCES ... LIBS ... [CATEGORY category] [ARGS ...] [RUNNER script]
#              [RESOURCE_LOCK locks...] [TIMEOUT seconds])
# A unit test: one GoogleTest executable an area; its output names the failing cases. With RUNNER,
# that script (beside the sources) starts what the executable needs, runs it and stops them:
#   python3 RUNNER --build <tree> --exe <executable> ARGS
function(ivl_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;CATEGORY;RUNNER" "SOURCES;LIBS;ARGS;RESOURCE_LOCK" ${ARGN})
  if(NOT T_CATEGORY)
    set(T_CATEGORY "test")
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ivl_options GTest::gtest_main ${T_LIBS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/tests/lib")
  target_compile_definitions(${name} PRIVATE "ZLOG_CATEGORY=\"${T_CATEGORY}\"")
  if(T_RUNNER)
    add_test(NAME ${name} COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/${T_RUNNER}
             --build ${CMAKE_BINARY_DIR} --exe $<TARGET_FILE:${name}> ${T_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  ivl_test_properties(${name} "${T_TIMEOUT}" "${T_RESOURCE_LOCK}")
endfunction()

# ivl_add_script_test(<name> SCRIPT file [ARGS ...] [RESOURCE_LOCK locks...] [TIMEOUT seconds])
# A test that is a Python script (the end-to-end drivers): python3 SCRIPT ARGS. A relative SCRIPT
# is taken from the calling folder.
function(ivl_add_script_test name)
  cmake_parse_arguments(T "" "SCRIPT;TIMEOUT" "ARGS;RESOURCE_LOCK" ${ARGN})
  if(NOT IS_ABSOLUTE "${T_SCRIPT}")
    set(T_SCRIPT "${CMAKE_CURRENT_SOURCE_DIR}/${T_SCRIPT}")
  endif()
  add_test(NAME ${name} COMMAND python3 ${T_SCRIPT} ${T_ARGS})
  ivl_test_properties(${name} "${T_TIMEOUT}" "${T_RESOURCE_LOCK}")
endfunction()

# The time-out (300 s unless given) and the resource locks of a test the two functions above made.
function(ivl_test_properties name timeout lock)
  if(NOT timeout)
    set(timeout 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout})
  if(lock)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${lock}")
  endif()
endfunction()

# ivl_link(<library> deps...): links an area library whether it has sources yet or not.
function(ivl_link name)
  get_target_property(type ${name} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()
