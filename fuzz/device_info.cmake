corvane_add_fuzzer(device_info device_info_fuzzer.cpp)
# corvane_core is built without coverage; the answer's reader and the serial
# normaliser are compiled in here so libFuzzer can see their branches.
target_sources(fuzz_device_info PRIVATE
  "${CMAKE_SOURCE_DIR}/device/device_info_json.cpp"
  "${CMAKE_SOURCE_DIR}/device/serial_number.cpp")
target_include_directories(fuzz_device_info PRIVATE "${CMAKE_SOURCE_DIR}")
