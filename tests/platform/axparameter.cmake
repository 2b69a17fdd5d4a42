# Tests of the parameter store stand-in (platform/axparameter).

# A second process on the store: reads, writes, and writes until killed.
add_executable(axparameter_tool axparameter_tool.cpp)
target_compile_options(axparameter_tool PRIVATE ${CORVANE_WARNINGS})
target_link_libraries(axparameter_tool PRIVATE axparameter)

corvane_add_test(axparameter_test SOURCES axparameter_test.cpp LIBS axparameter)
corvane_add_test(axparameter_crash_test SOURCES axparameter_crash_test.cpp LIBS axparameter
  TIMEOUT 120)
corvane_add_test(axparameter_concurrency_test SOURCES axparameter_concurrency_test.cpp
  LIBS axparameter LABELS unit concurrency)
corvane_program_path(axparameter_tool axparameter_tool_path)
foreach(test axparameter_test axparameter_crash_test)
  target_compile_definitions(${test} PRIVATE "AXPARAMETER_TOOL=\"${axparameter_tool_path}\"")
  add_dependencies(${test} axparameter_tool)
endforeach()
