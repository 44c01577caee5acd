# Unit tests of the logging objects.
include(logging_tests.cmake OPTIONAL)

# Unit tests of internal classes: they link the library's objects directly.
function(vxn_unit_test name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE vxn_core_static GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
endfunction()

vxn_unit_test(utilities_test utilities_test.cpp)
vxn_unit_test(api_frame_test api_frame_test.cpp)
vxn_unit_test(globals_test globals_test.cpp)
vxn_unit_test(globals_queues_test globals_queues_test.cpp)
vxn_unit_test(frames_test frames_test.cpp)
vxn_unit_test(frame_finder_test frame_finder_test.cpp)
vxn_unit_test(dpp_math_test dpp_math_test.cpp)
vxn_unit_test(AsyncTask_test AsyncTask_test.cpp)
vxn_unit_test(dpp_lan_resolver_thread_test dpp_lan_resolver_thread_test.cpp)

# Tests against simulated chains over loopback TCP.
if(TARGET vxn_sim)
    function(vxn_sim_test name)
        vxn_unit_test(${name} ${ARGN})
        target_link_libraries(${name} PRIVATE vxn_sim)
    endfunction()
    vxn_sim_test(TCPIP_Port_test TCPIP_Port_test.cpp)
    vxn_sim_test(vxn_ctrl_brd_dpp_chain_test vxn_ctrl_brd_dpp_chain_test.cpp)
    vxn_sim_test(DataDispatcherThr_test DataDispatcherThr_test.cpp)
    vxn_sim_test(vxn_ctrl_brd_dpp_chain_control_test vxn_ctrl_brd_dpp_chain_control_test.cpp)

    # Through the shared library, as an application uses it.
    function(vxn_api_test name)
        add_executable(${name} ${ARGN})
        target_link_libraries(${name} PRIVATE VXN_DPP vxn_sim GTest::gtest_main)
        target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                                   ${PROJECT_SOURCE_DIR}/library/src)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
    endfunction()
    vxn_api_test(dpp_lan_resolver_test dpp_lan_resolver_test.cpp)
    vxn_api_test(DLL_DPP_commands_test DLL_DPP_commands_test.cpp)
    vxn_api_test(DLL_DPP_data_test DLL_DPP_data_test.cpp)

    add_executable(exit_without_close_test exit_without_close_test.cpp)
    target_link_libraries(exit_without_close_test PRIVATE VXN_DPP vxn_sim)
    add_test(NAME exit_without_close COMMAND exit_without_close_test)
    set_tests_properties(exit_without_close PROPERTIES TIMEOUT 60)
endif()

# The exported interface, as a C program sees it.
add_executable(c_api_test c_api_test.c)
target_link_libraries(c_api_test PRIVATE VXN_DPP)
target_compile_options(c_api_test PRIVATE -pedantic)
add_test(NAME c_api_test COMMAND c_api_test)

add_test(NAME exports_match_header
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh $<TARGET_FILE:VXN_DPP>
                 ${PROJECT_SOURCE_DIR}/library/include/VXN_DPP.h)

# Tests of the board's data stores and decoders.
include(data_tests.cmake OPTIONAL)

# The records of the failures, read back from a log file.
add_executable(exceptions_test exceptions_test.cpp)
target_link_libraries(exceptions_test PRIVATE vxn_core_static vxn_log_test_support GTest::gtest_main)
gtest_discover_tests(exceptions_test DISCOVERY_TIMEOUT 30)
