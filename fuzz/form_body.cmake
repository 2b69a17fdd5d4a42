corvane_add_fuzzer(form_body form_body_fuzzer.cpp)
# The request reading is compiled in here so libFuzzer sees its branches.
target_sources(fuzz_form_body PRIVATE "${CMAKE_SOURCE_DIR}/web/control_endpoints.cpp")
target_include_directories(fuzz_form_body PRIVATE "${CMAKE_SOURCE_DIR}")
