# vellora_add_qtest(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [ENV <K=V>...])
#
# One Qt Test executable, registered with CTest. Every test gets a home of its
# own (HOME and the XDG folders under the build tree), so settings and library
# folders never touch the developer's own, and the offscreen platform so that
# widget tests need no display.
find_package(Qt6 REQUIRED COMPONENTS Test)

function(vellora_add_qtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  set(home ${CMAKE_BINARY_DIR}/test-home/${name})
  add_test(NAME ${name} COMMAND ${name})
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
endfunction()
