# Native build: the portable core under AddressSanitizer and UBSan, its unit tests, the
# libFuzzer targets and the mksetup tool.
option(SETUP_SANITIZE "Build with AddressSanitizer and UBSan" ON)
option(SETUP_FUZZ "Build the libFuzzer targets (clang only)" ON)
set(SETUP_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs as a test")

if(SETUP_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

add_library(setupcore STATIC ${CORE_SOURCES})
target_include_directories(setupcore PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(setupcore PRIVATE ${SETUP_WARNINGS})

# The reference Zstandard library: the packer's compressor (and the oracle of the decoder's tests).
find_library(ZSTD_LIBRARY zstd REQUIRED)
add_executable(mksetup tools/mksetup.cpp ${MKSETUP_SOURCES} tools/compress_zstd.cpp)
target_link_libraries(mksetup PRIVATE setupcore ${ZSTD_LIBRARY})
target_compile_options(mksetup PRIVATE ${SETUP_WARNINGS})

find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)
file(GLOB HOST_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/host/*.cpp
     ${CMAKE_SOURCE_DIR}/tests/common/*.cpp)
add_executable(host_tests ${HOST_TEST_SOURCES} ${MKSETUP_SOURCES} tools/compress_zstd.cpp)
target_link_libraries(host_tests PRIVATE setupcore GTest::gtest_main Threads::Threads
                      ${ZSTD_LIBRARY})
target_compile_options(host_tests PRIVATE ${SETUP_WARNINGS})
target_compile_definitions(host_tests PRIVATE SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                           MKSETUP="$<TARGET_FILE:mksetup>")
add_dependencies(host_tests mksetup)
gtest_discover_tests(host_tests TEST_PREFIX "host." DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS host)

if(SETUP_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
    foreach(source ${FUZZ_SOURCES})
        get_filename_component(name ${source} NAME_WE)
        add_executable(${name} ${source} ${CORE_SOURCES})
        target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
        target_compile_options(${name} PRIVATE ${SETUP_WARNINGS} -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${name} PRIVATE ${ZSTD_LIBRARY})
        # New inputs go to the build tree; the committed seeds are only read.
        set(corpus ${CMAKE_BINARY_DIR}/corpus/${name})
        file(MAKE_DIRECTORY ${corpus})
        add_test(NAME fuzz.${name}
                 COMMAND ${name} -max_total_time=${SETUP_FUZZ_SECONDS} -timeout=10
                         -print_final_stats=1 ${corpus} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
        set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 600)
    endforeach()
endif()

# The decoder once more with the bit reader of the 32-bit targets: its tests, and its fuzz target.
add_executable(zstd_word32_tests tests/host/zstd_test.cpp archive/zstd.cpp)
target_include_directories(zstd_word32_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(zstd_word32_tests PRIVATE ZSTD_WORD32)
target_compile_options(zstd_word32_tests PRIVATE ${SETUP_WARNINGS})
target_link_libraries(zstd_word32_tests PRIVATE GTest::gtest_main ${ZSTD_LIBRARY})
gtest_discover_tests(zstd_word32_tests TEST_PREFIX "host.word32." DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS host)
if(SETUP_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(fuzz_zstd_word32 fuzz/fuzz_zstd.cpp archive/zstd.cpp)
    target_include_directories(fuzz_zstd_word32 PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_definitions(fuzz_zstd_word32 PRIVATE ZSTD_WORD32)
    target_compile_options(fuzz_zstd_word32 PRIVATE ${SETUP_WARNINGS} -fsanitize=fuzzer)
    target_link_options(fuzz_zstd_word32 PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_zstd_word32 PRIVATE ${ZSTD_LIBRARY})
    set(corpus ${CMAKE_BINARY_DIR}/corpus/fuzz_zstd_word32)
    file(MAKE_DIRECTORY ${corpus})
    add_test(NAME fuzz.fuzz_zstd_word32
             COMMAND fuzz_zstd_word32 -max_total_time=${SETUP_FUZZ_SECONDS} -timeout=10
                     -print_final_stats=1 ${corpus} ${CMAKE_SOURCE_DIR}/fuzz/corpus/fuzz_zstd)
    set_tests_properties(fuzz.fuzz_zstd_word32 PROPERTIES LABELS fuzz TIMEOUT 600)
endif()

# Draws the engine's icons for the Windows builds.
add_executable(mkicons tools/mkicons.cpp)
target_compile_options(mkicons PRIVATE ${SETUP_WARNINGS})
find_package(ZLIB REQUIRED)
target_link_libraries(mkicons PRIVATE ZLIB::ZLIB)

# Includes read one way through the layers of the engine.
add_test(NAME host.layers COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-layers)
set_tests_properties(host.layers PROPERTIES LABELS host)
