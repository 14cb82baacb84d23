# Compile settings for the project's own targets (not for third-party code).
function(vardok_target_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  if(WIN32)
    # Sources are UTF-8; every text reaches the host as Windows-1250 bytes.
    target_compile_options(${target} PRIVATE -finput-charset=UTF-8 -fexec-charset=CP1250)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  endif()
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# A GoogleTest executable; under the cross build each test runs under Wine
# with the persistent wineserver fixture.
function(vardok_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;FILTER" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  vardok_target_settings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vardok_test_main)
  set(_filter)
  if(ARG_FILTER)
    set(_filter TEST_FILTER ${ARG_FILTER})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    ${_filter}
    PROPERTIES FIXTURES_REQUIRED wine_server TIMEOUT ${ARG_TIMEOUT})
endfunction()
