# vellora_add_qtest(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [ENV <K=V>...] [BUS])
#
# One Qt Test executable, registered with CTest. Every test gets a home of its
# own (HOME and the XDG folders under the build tree), so settings and library
# folders never touch the developer's own, and the offscreen platform so that
# widget tests need no display. With BUS the test runs inside a session bus of
# its own (dbus-run-session), never the developer's.
find_package(Qt6 REQUIRED COMPONENTS Test)

# The shared test support (tests/support) by bare name, and the doubles of
# each floor the target links: using a double takes only its #include.
function(vellora_link_test_support name libs)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  if(libs MATCHES "vellora_")
    target_link_libraries(${name} PRIVATE vellora_test_support)
  endif()
  if(libs MATCHES "zezevaveri|vellora_views|vellora_app")
    target_link_libraries(${name} PRIVATE zezevaveri_test_support)
  endif()
  if(libs MATCHES "vellora_sharing|vellora_app")
    target_link_libraries(${name} PRIVATE vellora_cloud_test_support)
  endif()
endfunction()

function(vellora_add_qtest name)
  cmake_parse_arguments(T "BUS" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  vellora_link_test_support(${name} "${T_LIBS}")
  set(home ${CMAKE_BINARY_DIR}/test-home/${name})
  if(T_BUS)
    find_program(VELLORA_DBUS_RUN_SESSION dbus-run-session REQUIRED)
    add_test(NAME ${name} COMMAND ${VELLORA_DBUS_RUN_SESSION} -- $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${home};XDG_CONFIG_HOME=${home}/config;XDG_DATA_HOME=${home}/data;XDG_CACHE_HOME=${home}/cache;XDG_RUNTIME_DIR=${home}/run;VELLORA_TEST_HOME=${home};${T_ENV}")
  # The folders must exist before the test starts; XDG_RUNTIME_DIR must be private.
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${home}/config ${home}/data ${home}/cache ${home}/run
    COMMAND chmod 700 ${home}/run)
endfunction()

# vellora_add_benchmark(<name> SOURCES <files...> LIBS <targets...>)
# Benchmarks are built with everything else but never run by CTest.
function(vellora_add_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE benchmark::benchmark ${B_LIBS})
  vellora_link_test_support(${name} "${B_LIBS}")
endfunction()
