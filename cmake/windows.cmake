# MinGW build of the engine and its Windows tests. The 64-bit tests run under Wine through the
# cross-compiling emulator; the 32-bit build (the engine as shipped) is compiled and linked only.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static")
add_compile_definitions(WIN32_LEAN_AND_MEAN)

# The engine is compiled against the oldest Windows it supports, so that a call that system lacks
# fails to compile instead of keeping the engine from loading there: it must be looked up at run
# time. The 32-bit engine: Windows 95 and NT 4.0 (with Internet Explorer 4, which brings
# shlwapi); the 64-bit one: the first 64-bit Windows (XP x64, Server 2003). Tests and tools use
# the newer declarations.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(ENGINE_WINDOWS WINVER=0x0400 _WIN32_WINNT=0x0400 _WIN32_WINDOWS=0x0400 _WIN32_IE=0x0400)
else()
    set(ENGINE_WINDOWS WINVER=0x0502 _WIN32_WINNT=0x0502 _WIN32_IE=0x0600)
endif()
set(NEWER_WINDOWS WINVER=0x0601 _WIN32_WINNT=0x0601 _WIN32_IE=0x0800)

set(WIN_SOURCES
    base/security.cpp
    base/syscalls.cpp
    base/systemtext.cpp
    archive/archive.cpp
    archive/uninstaller.cpp
    commands/commands.cpp
    commands/environment.cpp
    commands/files.cpp
    commands/image_commands.cpp
    commands/journal.cpp
    commands/links.cpp
    commands/process.cpp
    commands/realuser.cpp
    commands/record.cpp
    commands/registry.cpp
    commands/restart_files.cpp
    commands/shelltoken.cpp
    engine/log.cpp
    engine/run.cpp
    engine/selfremoval.cpp
    engine/startup.cpp
    engine/switches.cpp
    script/phase_thread.cpp
    ui/controls.cpp
    ui/language.cpp
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
target_compile_definitions(setupcore PRIVATE ${ENGINE_WINDOWS})
target_link_libraries(setupcore PUBLIC shell32 shlwapi ole32 uuid gdi32 advapi32 user32)
# A compressed install spends its time in the Zstandard decoder: it alone is built for speed
# (bench/zstd-speed; in the 32-bit engine about 4 KiB more than -Os, and 30% faster).
set_source_files_properties(${CMAKE_SOURCE_DIR}/archive/zstd.cpp PROPERTIES COMPILE_OPTIONS -O2)

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
    "${CMAKE_SOURCE_DIR}/commands/setuplib/setuplib.cpp;${CMAKE_SOURCE_DIR}/commands/shelltoken.cpp;${CMAKE_SOURCE_DIR}/base/text.cpp;${CMAKE_SOURCE_DIR}/base/unicode.cpp"
    -shared -Wl,--kill-at -ladvapi32 -luser32 -lshlwapi)
add_custom_target(setuplib ALL DEPENDS ${SETUPLIBS})

# The engine's resources, linked into the engine and into the tests that load its texts: the
# manifest, icons and version, and one file per language of the wizard (every file in
# resources/lang), each compiled on its own.
file(GLOB LANGUAGE_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/lang/*.rc)
add_library(setupres OBJECT resources/setup.rc ${LANGUAGE_RESOURCES})
target_include_directories(setupres PRIVATE ${ICON_DIR} ${CMAKE_SOURCE_DIR}/resources
                           ${CMAKE_SOURCE_DIR})
set_source_files_properties(resources/setup.rc PROPERTIES OBJECT_DEPENDS
    "${ICON_DIR}/setup.ico;${ICON_DIR}/uninstall.ico;${CMAKE_SOURCE_DIR}/resources/setup.manifest;${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/version.h")
set_source_files_properties(${LANGUAGE_RESOURCES} PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/texts.rc;${CMAKE_SOURCE_DIR}/resources/resource.h")
add_dependencies(setupres icons)

# The engine without an archive: Setup.exe.
add_executable(Setup WIN32 engine/main.cpp $<TARGET_OBJECTS:setupres>)
target_link_libraries(Setup PRIVATE setupcore)
target_compile_options(Setup PRIVATE ${SETUP_WARNINGS} ${ENGINE_SIZE_FLAGS})
target_compile_definitions(Setup PRIVATE ${ENGINE_WINDOWS})
target_link_options(Setup PRIVATE -s -Wl,--gc-sections)
set_property(TARGET setupcore Setup PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)

# The floor of the install benchmark (bench/run): the same bytes copied out of one file.
add_executable(bench_floor bench/floor.cpp)
target_compile_options(bench_floor PRIVATE ${SETUP_WARNINGS})
target_compile_definitions(bench_floor PRIVATE ${NEWER_WINDOWS})
target_link_options(bench_floor PRIVATE -s)

add_executable(mksetup tools/mksetup.cpp ${MKSETUP_SOURCES} tools/compress_absent.cpp)
target_link_libraries(mksetup PRIVATE setupcore)
target_compile_options(mksetup PRIVATE ${SETUP_WARNINGS})
target_compile_definitions(mksetup PRIVATE ${NEWER_WINDOWS})

# GoogleTest from the Debian sources, built with this toolchain.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# A library the planting tests put where a stranger could, named like ones the engine loads.
set(PLANTED_LIBS ${CMAKE_BINARY_DIR}/Planted32.dll ${CMAKE_BINARY_DIR}/Planted64.dll)
build_for_both_architectures(${PLANTED_LIBS} ${CMAKE_SOURCE_DIR}/tests/win/planted.cpp
    -shared -Wl,--kill-at)
add_custom_target(planted ALL DEPENDS ${PLANTED_LIBS})

file(GLOB WIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*_test.cpp
     ${CMAKE_SOURCE_DIR}/tests/win/main.cpp ${CMAKE_SOURCE_DIR}/tests/common/*.cpp)
add_executable(win_tests ${WIN_TEST_SOURCES} $<TARGET_OBJECTS:setupres>)
target_link_libraries(win_tests PRIVATE setupcore gtest version imagehlp)
target_compile_definitions(win_tests PRIVATE SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                           BUILD_DIR="${CMAKE_BINARY_DIR}" ${NEWER_WINDOWS})
add_dependencies(win_tests Setup sample planted mksetup)
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

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(SETUP_TREE win32)
else()
    set(SETUP_TREE win64)
endif()

# The Windows suites, each in a Wine prefix of its own (made by scripts/test): the 64-bit build in
# a 64-bit prefix; the 32-bit build, the engine as shipped, in a 64-bit prefix, where Wine's WoW64
# gives it what 64-bit Windows gives it (the 32-bit registry view, Program Files (x86),
# SysWOW64), and in a 32-bit prefix, as on 32-bit Windows. Exit 77 means the machine cannot run
# 32-bit programs: the suite is then reported as skipped, never as passed.
if(SETUP_TREE STREQUAL "win64")
    set(WINDOWS_SUITES "win64:wineprefix:win64")
else()
    set(WINDOWS_SUITES "win32.wow64:prefix64:win64" "win32.x86:prefix32:win32")
endif()
foreach(suite ${WINDOWS_SUITES})
    string(REPLACE ":" ";" parts ${suite})
    list(GET parts 0 name)
    list(GET parts 1 prefix)
    list(GET parts 2 arch)
    add_test(NAME ${name}.win_tests COMMAND win_tests --gtest_filter=-Packed*:UnicodeNames.*)
    add_test(NAME ${name}.win_tests_packed COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${PACKED_TESTS}
             --gtest_filter=Packed*)
    set_tests_properties(${name}.win_tests ${name}.win_tests_packed PROPERTIES
        LABELS windows TIMEOUT 900 SKIP_RETURN_CODE 77
        ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/${prefix};WINEARCH=${arch}")
endforeach()

# The wizard follows the interface language: Wine takes it from LANG (a locale that
# scripts/bootstrap generates), here in the 64-bit suite's prefix.
if(SETUP_TREE STREQUAL "win64")
    foreach(locale de_DE fr_FR es_ES ja_JP)
        add_test(NAME win64.language_${locale} COMMAND win_tests
                 --gtest_filter=Language.FollowsTheInterface)
        set_tests_properties(win64.language_${locale} PROPERTIES LABELS windows TIMEOUT 300
            ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;LANG=${locale}.UTF-8;LC_ALL=${locale}.UTF-8")
    endforeach()
endif()

# Names beyond the code page, with the shipped engine, in a 64-bit prefix of their own whose
# user is Дмитрий (scripts/test makes it): once under code page 1252, once under 932 (Wine
# takes the code page from LANG). One after the other: they install into the same folders.
if(SETUP_TREE STREQUAL "win32")
    foreach(run "cp1252:en_US.UTF-8" "cp932:ja_JP.UTF-8")
        string(REPLACE ":" ";" parts ${run})
        list(GET parts 0 page)
        list(GET parts 1 locale)
        add_test(NAME win32.names.${page} COMMAND win_tests --gtest_filter=UnicodeNames.*)
        set_tests_properties(win32.names.${page} PROPERTIES
            LABELS windows TIMEOUT 900 SKIP_RETURN_CODE 77 RESOURCE_LOCK names-prefix
            ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/prefix-names;WINEARCH=win64;LANG=${locale};LC_ALL=${locale};USER=Дмитрий;LOGNAME=Дмитрий")
    endforeach()
endif()

# A setup signed with osslsigncode through mksetup pack --sign, installed and uninstalled in a
# Wine prefix of its own; the signatures and checksums checked with real tools.
if(SETUP_TREE STREQUAL "win64")
    set(SETUP_LOADER /usr/lib/wine/wine64)
else()
    set(SETUP_LOADER /usr/lib/wine/wine)
endif()
add_test(NAME ${SETUP_TREE}.signed_setup
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/e2e/signed_setup.py
                 --loader ${SETUP_LOADER} --engine $<TARGET_FILE:Setup>
                 --mksetup ${SETUP_MKSETUP} --work ${CMAKE_BINARY_DIR}/signed-setup)
set_tests_properties(${SETUP_TREE}.signed_setup PROPERTIES LABELS windows TIMEOUT 600
                     SKIP_RETURN_CODE 77)

if(SETUP_TREE STREQUAL "win64")
    # The install benchmark's tiny shape, once, so that bench/run keeps working: the shipped
    # 32-bit engine and this tree's 64-bit one, each under its own loader, and NSIS. No time is
    # asserted.
    add_test(NAME win64.bench_tiny
             COMMAND ${CMAKE_SOURCE_DIR}/bench/run tiny --runs 1 --no-build
                     --engine ${CMAKE_SOURCE_DIR}/build/win32/Setup.exe
                     --engine $<TARGET_FILE:Setup>)
    set_tests_properties(win64.bench_tiny PROPERTIES LABELS bench TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()

include(${CMAKE_SOURCE_DIR}/samples/tool/sample.cmake)

# What the engine imports at load time: only libraries Windows takes from its system folder, and
# only the listed functions.
add_test(NAME ${SETUP_TREE}.imports
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/check-imports
                 ${CMAKE_SOURCE_DIR}/tests/data/imports/${SETUP_TREE}.txt $<TARGET_FILE:Setup>)
set_tests_properties(${SETUP_TREE}.imports PROPERTIES LABELS ${SETUP_TREE})

# The 32-bit tree builds 32-bit Windows images.
if(SETUP_TREE STREQUAL "win32")
    foreach(target Setup win_tests mksetup)
        add_test(NAME win32.${target}.is_pe32 COMMAND ${CMAKE_OBJDUMP} -f $<TARGET_FILE:${target}>)
        set_tests_properties(win32.${target}.is_pe32 PROPERTIES LABELS win32
                             PASS_REGULAR_EXPRESSION "file format pei-i386")
    endforeach()
endif()
