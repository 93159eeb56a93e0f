# The sample product "Tool", packed with this tree's engine into samples/ToolSetup.exe. The
# setup carries the program for both architectures, so both are built here with the MinGW
# compilers directly.
set(SAMPLE_SOURCE ${CMAKE_SOURCE_DIR}/samples/tool)
set(SAMPLE_PAYLOAD ${CMAKE_BINARY_DIR}/samples/payload)
file(MAKE_DIRECTORY ${SAMPLE_PAYLOAD})

set(SAMPLE_PROGRAMS)
foreach(arch i686 x86_64)
    if(arch STREQUAL "i686")
        set(program ${SAMPLE_PAYLOAD}/Tool32.exe)
    else()
        set(program ${SAMPLE_PAYLOAD}/Tool64.exe)
    endif()
    add_custom_command(OUTPUT ${program}
        COMMAND ${arch}-w64-mingw32-g++-posix -Os -s -static -mwindows -Wall -Wextra -Werror
                -o ${program} ${SAMPLE_SOURCE}/tool.cpp
        DEPENDS ${SAMPLE_SOURCE}/tool.cpp
        COMMENT "Building the sample program for ${arch}")
    list(APPEND SAMPLE_PROGRAMS ${program})
endforeach()

# In the order of the shipped archive: the uninstall script first.
set(SAMPLE_FILES
    ${SAMPLE_SOURCE}/Uninstall.vis
    ${SAMPLE_SOURCE}/Tool.chm
    ${SAMPLE_SOURCE}/Setup.vis
    ${SAMPLE_PROGRAMS}
    ${SAMPLE_SOURCE}/EULA.txt
    ${SAMPLE_SOURCE}/Tool.pat
)
set(SAMPLE_SETUP ${CMAKE_BINARY_DIR}/samples/ToolSetup.exe)
add_custom_command(OUTPUT ${SAMPLE_SETUP}
    COMMAND ${SETUP_MKSETUP} pack --engine $<TARGET_FILE:Setup> --out ${SAMPLE_SETUP}
            ${SAMPLE_FILES}
    COMMAND ${SETUP_MKSETUP} check ${SAMPLE_SETUP}
    DEPENDS Setup ${SAMPLE_FILES} ${SETUP_MKSETUP}
    COMMENT "Packing samples/ToolSetup.exe")
add_custom_target(sample ALL DEPENDS ${SAMPLE_SETUP})
