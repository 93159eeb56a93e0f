# The sample product "Tool", packed with this tree's engine into samples/ToolSetup.exe, with its
# program for both architectures.
set(SAMPLE_SOURCE ${CMAKE_SOURCE_DIR}/samples/tool)
set(SAMPLE_PAYLOAD ${CMAKE_BINARY_DIR}/samples/payload)
file(MAKE_DIRECTORY ${SAMPLE_PAYLOAD})

set(SAMPLE_PROGRAMS ${SAMPLE_PAYLOAD}/Tool32.exe ${SAMPLE_PAYLOAD}/Tool64.exe)
build_for_both_architectures(${SAMPLE_PROGRAMS} ${SAMPLE_SOURCE}/tool.cpp -mwindows)

# In the order of the shipped archive: the uninstall script first.
set(SAMPLE_FILES
    ${SAMPLE_SOURCE}/Uninstall.vis
    ${SAMPLE_SOURCE}/Tool.chm
    ${SAMPLE_SOURCE}/Setup.vis
    ${SAMPLE_PROGRAMS}
    ${SAMPLE_SOURCE}/EULA.txt
    ${SETUPLIBS}
    ${SAMPLE_SOURCE}/Tool.pat
)
set(SAMPLE_SETUP ${CMAKE_BINARY_DIR}/samples/ToolSetup.exe)
add_custom_command(OUTPUT ${SAMPLE_SETUP}
    COMMAND ${SETUP_MKSETUP} pack --engine $<TARGET_FILE:Setup> --out ${SAMPLE_SETUP}
            ${SAMPLE_FILES}
    COMMAND ${SETUP_MKSETUP} check ${SAMPLE_SETUP}
    DEPENDS Setup ${SAMPLE_FILES} ${SETUP_MKSETUP}
    COMMENT "Packing samples/ToolSetup.exe")
# The same, compressed.
set(SAMPLE_SETUP_COMPRESSED ${CMAKE_BINARY_DIR}/samples/ToolSetupCompressed.exe)
add_custom_command(OUTPUT ${SAMPLE_SETUP_COMPRESSED}
    COMMAND ${SETUP_MKSETUP} pack --compress --engine $<TARGET_FILE:Setup>
            --out ${SAMPLE_SETUP_COMPRESSED} ${SAMPLE_FILES}
    DEPENDS Setup ${SAMPLE_FILES} ${SETUP_MKSETUP}
    COMMENT "Packing samples/ToolSetupCompressed.exe")
add_custom_target(sample ALL DEPENDS ${SAMPLE_SETUP} ${SAMPLE_SETUP_COMPRESSED})
