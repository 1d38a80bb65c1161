# draxel-tool run as its own process, and the host example built against an
# installed copy of the library.
find_package(nlohmann_json REQUIRED)
include(GNUInstallDirs)

add_library(draxel_tool_runner STATIC support/tool_runner.cpp)
target_include_directories(draxel_tool_runner PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(draxel_tool_runner PRIVATE
                           DRAXEL_TOOL_PATH="$<TARGET_FILE:draxel-tool>")
target_link_libraries(draxel_tool_runner PUBLIC nlohmann_json::nlohmann_json)
add_dependencies(draxel_tool_runner draxel-tool)

# Against the software token in-process: no pcscd needed.
add_executable(tool_tests tool_test.cpp)
target_compile_definitions(tool_tests PRIVATE DRAXEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_link_libraries(tool_tests PRIVATE draxel_tool_runner GTest::gtest_main)
add_test(NAME tool COMMAND tool_tests)

# Through the real pcscd and token daemons in the vpcd readers.
add_executable(tool_e2e_tests tool_e2e_test.cpp)
target_compile_definitions(tool_e2e_tests PRIVATE
                           DRAXEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                           DRAXEL_BUILD_DIR="${PROJECT_BINARY_DIR}"
                           DRAXEL_LIBDIR="${CMAKE_INSTALL_LIBDIR}"
                           CMAKE_COMMAND="${CMAKE_COMMAND}"
                           C_COMPILER="${CMAKE_C_COMPILER}")
target_link_libraries(tool_e2e_tests PRIVATE draxel_tool_runner draxel_test_support
                      GTest::gtest_main)
add_dependencies(tool_e2e_tests draxel_lib draxel-tool draxel-token-sim)
add_test(NAME tool_e2e COMMAND tool_e2e_tests)
set_tests_properties(tool_e2e PROPERTIES RESOURCE_LOCK vpcd_readers)
