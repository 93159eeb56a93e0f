# MinGW build of the engine and its Windows tests. The 64-bit tests run under Wine through the
# cross-compiling emulator; the 32-bit build (the engine as shipped) is compiled and linked only.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static")
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

set(WIN_SOURCES
    commands/realuser.cpp
    script/phase_thread.cpp
)
list(TRANSFORM WIN_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)

add_library(setupcore STATIC ${CORE_SOURCES} ${WIN_SOURCES})
target_include_directories(setupcore PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(setupcore PRIVATE ${SETUP_WARNINGS})
target_link_libraries(setupcore PUBLIC advapi32 user32)

# GoogleTest from the Debian sources, built with this toolchain.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB WIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*.cpp)
add_executable(win_tests ${WIN_TEST_SOURCES})
target_link_libraries(win_tests PRIVATE setupcore gtest_main)
target_compile_options(win_tests PRIVATE ${SETUP_WARNINGS})

if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME win64.win_tests COMMAND win_tests)
    set_tests_properties(win64.win_tests PROPERTIES LABELS windows TIMEOUT 600)
endif()

# The 32-bit tree cannot run here; check that what it built is a 32-bit Windows image.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    foreach(target win_tests)
        add_test(NAME win32.${target}.is_pe32 COMMAND ${CMAKE_OBJDUMP} -f $<TARGET_FILE:${target}>)
        set_tests_properties(win32.${target}.is_pe32 PROPERTIES LABELS win32
                             PASS_REGULAR_EXPRESSION "file format pei-i386")
    endforeach()
endif()
