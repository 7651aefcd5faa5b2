# vardel_warnings(target): the project's warning set, errors in CI.
function(vardel_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8)
    if(VARDEL_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                           -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                           -Woverloaded-virtual -Wconversion -Wsign-conversion
                           -Wno-sign-conversion)
    if(VARDEL_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# vardel_test(name SOURCES... LIBS ...): one GoogleTest executable registered with CTest.
function(vardel_test name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  if(NOT T_GUI)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  vardel_warnings(${name})
  if(CMAKE_CROSSCOMPILING)
    # Run under the emulator where there is one (wine for Windows builds).
    add_test(NAME ${name} COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
  else()
    if(T_GUI)
      # Headless, also while CTest lists the tests (which passes no ENVIRONMENT).
      set_target_properties(${name} PROPERTIES
                            CROSSCOMPILING_EMULATOR "env;QT_QPA_PLATFORM=offscreen")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
endfunction()
