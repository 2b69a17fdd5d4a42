corvane_add_fuzzer(stream_profile stream_profile_fuzzer.cpp)
# corvane_core is built without coverage; the parser is compiled in here so
# libFuzzer can see its branches (its objects then win over the archive's).
target_sources(fuzz_stream_profile PRIVATE "${CMAKE_SOURCE_DIR}/capture/stream_profile.cpp")
target_include_directories(fuzz_stream_profile PRIVATE "${CMAKE_SOURCE_DIR}")
