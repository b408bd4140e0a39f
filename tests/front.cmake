# Tests of the installer front and of how the builder puts it in place.
target_sources(stw_tests PRIVATE host/FrontTest.cpp)
