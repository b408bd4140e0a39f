# Tests of the uninstaller: the log reader and the removal.
target_sources(stw_tests PRIVATE host/UninstallLogTest.cpp)
target_link_libraries(stw_tests PRIVATE stw_uninstall)
# The removal runs against the simulated machine, after real installations
# of the host setup; under Wine the real UnStowa32.exe is tested end to end.
if(NOT WIN32)
  target_sources(stw_tests PRIVATE host/UninstallTest.cpp)
endif()
if(NOT WIN32)
  target_compile_definitions(stw_tests PRIVATE STW_UNINSTALL_HOST="$<TARGET_FILE:uninstall-host>")
  add_dependencies(stw_tests uninstall-host)
endif()
