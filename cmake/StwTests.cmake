# ctest entries for a GoogleTest program: one per test, or one per test
# suite (STW_TEST_GROUPS).
#
# One process per test isolates the tests best and balances ctest -j
# finest, but every process start is paid again: under AddressSanitizer
# (shadow memory, the leak check at exit) and under Wine (0.1-0.2 s with a
# warm wineserver) that is several minutes of a CI run. A suite is one
# GoogleTest fixture, so running its tests in one process is what
# GoogleTest itself does by default; the suite's test names are listed
# explicitly in its filter, so exactly the tests the filter picks run.
#
#   stw_discover_tests(TARGET FILTER <gtest filter> [GROUPS] [PROPERTIES ...])
#
# Discovery happens when ctest starts (the program is listed again only
# after it was rebuilt), as CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE
# PRE_TEST does: a cross build runs it through its emulator then, never
# during the build.
include(GoogleTest)
set(_stw_tests_script "${CMAKE_CURRENT_LIST_DIR}/StwTestsList.cmake")

option(STW_TEST_GROUPS "one ctest entry per GoogleTest suite instead of per test" OFF)

function(stw_discover_tests target)
  cmake_parse_arguments(arg "GROUPS" "FILTER" "PROPERTIES" ${ARGN})
  if(NOT arg_GROUPS)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_FILTER "${arg_FILTER}" PROPERTIES ${arg_PROPERTIES})
    return()
  endif()
  get_property(counter TARGET ${target} PROPERTY STW_GROUP_COUNTER)
  if(NOT counter)
    set(counter 0)
  endif()
  math(EXPR counter "${counter} + 1")
  set_property(TARGET ${target} PROPERTY STW_GROUP_COUNTER ${counter})
  set(base "${CMAKE_CURRENT_BINARY_DIR}/${target}-groups-${counter}")
  get_property(emulator TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR)
  # Properties travel as one string with a separator no value contains.
  string(REPLACE ";" "|" props "${arg_PROPERTIES}")
  string(CONCAT content
    "if(EXISTS \"$<TARGET_FILE:${target}>\")\n"
    "  if(NOT EXISTS \"${base}_tests.cmake\" OR\n"
    "     NOT \"${base}_tests.cmake\" IS_NEWER_THAN \"$<TARGET_FILE:${target}>\" OR\n"
    "     NOT \"${base}_tests.cmake\" IS_NEWER_THAN \"\${CMAKE_CURRENT_LIST_FILE}\")\n"
    "    set(STW_EXE [==[$<TARGET_FILE:${target}>]==])\n"
    "    set(STW_EMULATOR [==[${emulator}]==])\n"
    "    set(STW_FILTER [==[${arg_FILTER}]==])\n"
    "    set(STW_PROPERTIES [==[${props}]==])\n"
    "    set(STW_WORKDIR [==[${CMAKE_CURRENT_BINARY_DIR}]==])\n"
    "    set(STW_OUT [==[${base}_tests.cmake]==])\n"
    "    include([==[${_stw_tests_script}]==])\n"
    "  endif()\n"
    "  include(\"${base}_tests.cmake\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  file(GENERATE OUTPUT "${base}_include.cmake" CONTENT "${content}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${base}_include.cmake")
endfunction()
