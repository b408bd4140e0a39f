# Included by ctest (see StwTests.cmake) with STW_EXE, STW_EMULATOR,
# STW_FILTER, STW_PROPERTIES ("|"-separated), STW_WORKDIR and STW_OUT set:
# lists the program's tests and writes one add_test per suite to STW_OUT.
execute_process(
  COMMAND ${STW_EMULATOR} "${STW_EXE}" --gtest_list_tests "--gtest_filter=${STW_FILTER}"
  WORKING_DIRECTORY "${STW_WORKDIR}"
  TIMEOUT 60
  OUTPUT_VARIABLE output
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "listing the tests of ${STW_EXE} failed (${result}):\n${output}")
endif()

string(REPLACE "\r" "" output "${output}")
# Brackets and semicolons would break the list handling below; test names
# of GoogleTest hold neither, a parameter's printed value may.
string(REPLACE ";" "," output "${output}")
string(REPLACE "[" "(" output "${output}")
string(REPLACE "]" ")" output "${output}")
string(REPLACE "\n" ";" output "${output}")

set(suites "")
set(suite "")
foreach(line IN LISTS output)
  if(line MATCHES "^Running main\\(\\)" OR line STREQUAL "")
    continue()
  endif()
  if(line MATCHES "^  ")
    # A test: its name up to the comment GoogleTest adds for parameters.
    string(REGEX REPLACE " *#.*" "" test "${line}")
    string(STRIP "${test}" test)
    list(APPEND tests_${suite_id} "${suite}.${test}")
  else()
    string(REGEX REPLACE "\\.( *#.*)?$" "" suite "${line}")
    string(MAKE_C_IDENTIFIER "${suite}" suite_id)
    list(APPEND suites "${suite}")
    set(tests_${suite_id} "")
  endif()
endforeach()

string(REPLACE "|" ";" properties "${STW_PROPERTIES}")
set(script "")
set(total 0)
foreach(suite IN LISTS suites)
  string(MAKE_C_IDENTIFIER "${suite}" suite_id)
  list(LENGTH tests_${suite_id} n)
  if(n EQUAL 0)
    continue()
  endif()
  math(EXPR total "${total} + ${n}")
  string(REPLACE ";" ":" filter "${tests_${suite_id}}")
  set(cmd "")
  foreach(arg IN LISTS STW_EMULATOR)
    string(APPEND cmd " [==[${arg}]==]")
  endforeach()
  string(APPEND script "add_test([==[${suite}]==]${cmd} [==[${STW_EXE}]==] [==[--gtest_filter=${filter}]==])\n")
  set(props "")
  foreach(p IN LISTS properties)
    string(APPEND props " [==[${p}]==]")
  endforeach()
  # Without timings of an earlier run ctest starts the entries in this
  # order; the larger suites first keep one long suite from being the tail
  # of a parallel run.
  string(APPEND script "set_tests_properties([==[${suite}]==] PROPERTIES WORKING_DIRECTORY [==[${STW_WORKDIR}]==] COST ${n}${props})\n")
endforeach()
string(APPEND script "# ${total} tests\n")
file(WRITE "${STW_OUT}" "${script}")
