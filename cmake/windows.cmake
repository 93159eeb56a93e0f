# MinGW build of the engine and its Windows tests. The 64-bit tests run under Wine through the
# cross-compiling emulator; the 32-bit build (the engine as shipped) is compiled and linked only.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static")
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

set(WIN_SOURCES
    base/syscalls.cpp
    archive/archive.cpp
    archive/uninstaller.cpp
    commands/commands.cpp
    commands/files.cpp
    commands/image_commands.cpp
    commands/links.cpp
    commands/process.cpp
    commands/realuser.cpp
    commands/record.cpp
    commands/registry.cpp
    commands/shelltoken.cpp
    engine/log.cpp
    engine/run.cpp
    engine/selfremoval.cpp
    engine/startup.cpp
    script/phase_thread.cpp
    ui/controls.cpp
    ui/messages.cpp
    ui/run_pages.cpp
    ui/setup_pages.cpp
    ui/wizard.cpp
)
list(TRANSFORM WIN_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)

# The engine is built for size (MinSizeRel's -Os, and): each function in a section of its own so
# that the linker drops what nothing uses (most of libuuid's GUIDs went with that), no exception
# tables or type information, which plain procedural code without C++ exceptions does not need,
# and link-time optimisation of the engine and its library. Separate data sections are not
# used: MinGW's linker then stores zero-filled globals in the file.
set(ENGINE_SIZE_FLAGS -ffunction-sections -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics)

add_library(setupcore STATIC ${CORE_SOURCES} ${WIN_SOURCES})
target_include_directories(setupcore PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(setupcore PRIVATE ${SETUP_WARNINGS} ${ENGINE_SIZE_FLAGS})
target_link_libraries(setupcore PUBLIC shell32 shlwapi ole32 uuid gdi32 advapi32 user32)

# Tools of the host build that this build runs: the packer and the icon painter.
set(SETUP_HOST_TOOLS ${CMAKE_SOURCE_DIR}/build/host CACHE PATH "host build with mksetup, mkicons")
set(SETUP_MKSETUP ${SETUP_HOST_TOOLS}/mksetup)

set(ICON_DIR ${CMAKE_BINARY_DIR}/icons)
add_custom_command(OUTPUT ${ICON_DIR}/setup.ico ${ICON_DIR}/uninstall.ico
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ICON_DIR}
    COMMAND ${SETUP_HOST_TOOLS}/mkicons ${ICON_DIR}
    DEPENDS ${SETUP_HOST_TOOLS}/mkicons
    COMMENT "Drawing the icons")
add_custom_target(icons DEPENDS ${ICON_DIR}/setup.ico ${ICON_DIR}/uninstall.ico)

# Builds sources into a 32-bit and a 64-bit binary with the MinGW compilers directly: the
# setups carry both, whichever engine packs them. Extra arguments (flags, then libraries) go
# after the sources.
function(build_for_both_architectures output32 output64 sources)
    foreach(arch i686 x86_64)
        if(arch STREQUAL "i686")
            set(output ${output32})
        else()
            set(output ${output64})
        endif()
        get_filename_component(name ${output} NAME)
        add_custom_command(OUTPUT ${output}
            COMMAND ${arch}-w64-mingw32-g++-posix -std=c++17 -Os -s -static -Wall -Wextra
                    -Werror -I${CMAKE_SOURCE_DIR} -o ${output} ${sources} ${ARGN}
            DEPENDS ${sources}
            COMMENT "Building ${name}")
    endforeach()
endfunction()

# The helper library for starting programs without elevation; the engine places the one that
# matches Windows.
set(SETUPLIBS ${CMAKE_BINARY_DIR}/SetupLib32.dll ${CMAKE_BINARY_DIR}/SetupLib64.dll)
build_for_both_architectures(${SETUPLIBS}
    "${CMAKE_SOURCE_DIR}/commands/setuplib/setuplib.cpp;${CMAKE_SOURCE_DIR}/commands/shelltoken.cpp;${CMAKE_SOURCE_DIR}/base/text.cpp"
    -shared -Wl,--kill-at -ladvapi32 -luser32)
add_custom_target(setuplib ALL DEPENDS ${SETUPLIBS})

# The engine's resources, linked into the engine and into the tests that load its texts.
add_library(setupres OBJECT resources/setup.rc)
target_include_directories(setupres PRIVATE ${ICON_DIR} ${CMAKE_SOURCE_DIR}/resources
                           ${CMAKE_SOURCE_DIR})
set_source_files_properties(resources/setup.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/dialogs.rc;${ICON_DIR}/setup.ico;${ICON_DIR}/uninstall.ico;${CMAKE_SOURCE_DIR}/resources/setup.manifest;${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/version.h")
add_dependencies(setupres icons)

# The engine without an archive: Setup.exe.
add_executable(Setup WIN32 engine/main.cpp $<TARGET_OBJECTS:setupres>)
target_link_libraries(Setup PRIVATE setupcore)
target_compile_options(Setup PRIVATE ${SETUP_WARNINGS} ${ENGINE_SIZE_FLAGS})
target_link_options(Setup PRIVATE -s -Wl,--gc-sections)
set_property(TARGET setupcore Setup PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)

# The floor of the install benchmark (bench/run): the same bytes copied out of one file.
add_executable(bench_floor bench/floor.cpp)
target_compile_options(bench_floor PRIVATE ${SETUP_WARNINGS})
target_link_options(bench_floor PRIVATE -s)

add_executable(mksetup tools/mksetup.cpp ${MKSETUP_SOURCES})
target_link_libraries(mksetup PRIVATE setupcore)
target_compile_options(mksetup PRIVATE ${SETUP_WARNINGS})

# GoogleTest from the Debian sources, built with this toolchain.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB WIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*.cpp
     ${CMAKE_SOURCE_DIR}/tests/common/*.cpp)
add_executable(win_tests ${WIN_TEST_SOURCES} $<TARGET_OBJECTS:setupres>)
target_link_libraries(win_tests PRIVATE setupcore gtest version)
target_compile_definitions(win_tests PRIVATE SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                           BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(win_tests Setup sample)
target_compile_options(win_tests PRIVATE ${SETUP_WARNINGS})

# The same tests with a setup data archive appended by the host's mksetup: tests of suites
# named Packed* read and extract the entries of their own file.
file(GLOB TEST_ARCHIVE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/data/archive/*)
set(PACKED_TESTS ${CMAKE_BINARY_DIR}/win_tests_packed.exe)
add_custom_command(OUTPUT ${PACKED_TESTS}
    COMMAND ${SETUP_MKSETUP} pack --engine $<TARGET_FILE:win_tests> --out ${PACKED_TESTS}
            ${CMAKE_SOURCE_DIR}/tests/data/archive
    DEPENDS win_tests ${TEST_ARCHIVE_FILES} ${SETUP_MKSETUP}
    COMMENT "Packing win_tests_packed.exe")
add_custom_target(win_tests_packed ALL DEPENDS ${PACKED_TESTS})

if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME win64.win_tests COMMAND win_tests --gtest_filter=-Packed*)
    add_test(NAME win64.win_tests_packed COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${PACKED_TESTS}
             --gtest_filter=Packed*)
    set_tests_properties(win64.win_tests win64.win_tests_packed PROPERTIES LABELS windows
                         TIMEOUT 600)
    # The install benchmark's tiny shape, once, so that bench/run keeps working: the shipped
    # 32-bit engine and this tree's 64-bit one, each under its own loader, and NSIS. No time is
    # asserted.
    add_test(NAME win64.bench_tiny
             COMMAND ${CMAKE_SOURCE_DIR}/bench/run tiny --runs 1 --no-build
                     --engine ${CMAKE_SOURCE_DIR}/build/win32/Setup.exe
                     --engine $<TARGET_FILE:Setup>)
    set_tests_properties(win64.bench_tiny PROPERTIES LABELS bench TIMEOUT 300)
endif()

include(${CMAKE_SOURCE_DIR}/samples/tool/sample.cmake)

# Check that what the 32-bit tree built is a 32-bit Windows image, and run the tests of the
# code that differs between the two builds (the CRC's folding) under 32-bit Wine.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    foreach(target Setup win_tests mksetup)
        add_test(NAME win32.${target}.is_pe32 COMMAND ${CMAKE_OBJDUMP} -f $<TARGET_FILE:${target}>)
        set_tests_properties(win32.${target}.is_pe32 PROPERTIES LABELS win32
                             PASS_REGULAR_EXPRESSION "file format pei-i386")
    endforeach()
    add_test(NAME win32.crc32c COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run
             $<TARGET_FILE:win_tests> --gtest_filter=Crc32c.*)
    set_tests_properties(win32.crc32c PROPERTIES LABELS win32 TIMEOUT 120)
endif()
