# Unit tests of the logging objects: the cipher, the two sink backends, the
# set-up, and the vxn-logdump tool. Each case runs in its own process, which
# matters because the Boost.Log core is process-wide.

add_library(vxn_log_test_support STATIC log_test_support.cpp)
target_link_libraries(vxn_log_test_support PUBLIC vxn_log_static)

# Stand-ins for the library's users, to try set-up and tear-down from copies
# placed in scratch folders next to markers: a program with the library's load
# and unload hooks, and a loadable module with them plus a program that loads
# (and may unload) it.
add_executable(log_init_probe log_init_probe.cpp)
target_link_libraries(log_init_probe PRIVATE vxn_log_static)
add_library(log_probe_module MODULE log_probe_module.cpp)
target_link_libraries(log_probe_module PRIVATE vxn_log_static)
target_link_options(log_probe_module PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/log_probe_module.map)
set_target_properties(log_probe_module PROPERTIES
    LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/log_probe_module.map)
add_executable(log_module_host log_module_host.cpp)
target_link_libraries(log_module_host PRIVATE ${CMAKE_DL_LIBS})

foreach(unit log_cipher crypt_log_sink_backend crypt_rtlog_sink_backend Boost_Log vxn_logdump)
    add_executable(${unit}_test ${unit}_test.cpp)
    target_link_libraries(${unit}_test PRIVATE vxn_log_test_support GTest::gtest_main)
    gtest_discover_tests(${unit}_test DISCOVERY_TIMEOUT 60)
endforeach()

target_compile_definitions(Boost_Log_test PRIVATE
    VXN_LOG_INIT_PROBE="$<TARGET_FILE:log_init_probe>"
    VXN_LOG_PROBE_MODULE="$<TARGET_FILE:log_probe_module>"
    VXN_LOG_MODULE_HOST="$<TARGET_FILE:log_module_host>")
add_dependencies(Boost_Log_test log_init_probe log_probe_module log_module_host)
target_compile_definitions(vxn_logdump_test PRIVATE VXN_LOGDUMP="$<TARGET_FILE:vxn-logdump>")
add_dependencies(vxn_logdump_test vxn-logdump)
