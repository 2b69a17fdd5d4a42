# Tests of the camera emulator's video service (platform/vdo).

# Encoded clips are shared between the test binaries and runs of one build.
set(VDO_TEST_CLIP_CACHE "${CMAKE_BINARY_DIR}/vdo-clip-cache")

add_library(vdo_test_support STATIC vdo_test_support.cpp)
target_compile_options(vdo_test_support PRIVATE ${CORVANE_WARNINGS})
target_link_libraries(vdo_test_support PUBLIC corvane_core GTest::gtest)

corvane_add_test(vdo_engine_test SOURCES vdo_engine_test.cpp LIBS vdo_emulator_engine TIMEOUT 120)
corvane_add_test(vdo_stream_test SOURCES vdo_stream_test.cpp LIBS vdo_test_support vdo_emulator_engine
  TIMEOUT 180)
# A reader left waiting by a stop that fails to wake it would wait 100 s.
corvane_add_test(vdo_stop_test SOURCES vdo_stop_test.cpp LIBS vdo_test_support
  LABELS unit concurrency TIMEOUT 60)
# GLib 2.74 recycles GError memory between threads through its slice
# magazines, which the thread sanitizer cannot see; plain malloc it sees.
foreach(test vdo_engine_test vdo_stream_test vdo_stop_test)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
    "VDO_EMULATOR_CACHE_DIR=${VDO_TEST_CLIP_CACHE}" "G_SLICE=always-malloc")
endforeach()
