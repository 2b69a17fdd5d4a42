corvane_add_fuzzer(json_escape json_escape_fuzzer.cpp)
# The escaper is compiled in here so libFuzzer sees its branches.
target_sources(fuzz_json_escape PRIVATE "${CMAKE_SOURCE_DIR}/web/status_document.cpp")
target_include_directories(fuzz_json_escape PRIVATE "${CMAKE_SOURCE_DIR}")
