# Each executable carries its four-part file version in an ELF section of its own, so the
# version can be read from the file on disk and re-stamped on a copy with objcopy.
set(KAVO_FILE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK}")
set(KAVO_VERSION_STAMP_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/versionstamp.cpp.in)

function(kavo_stamp_version target)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_versionstamp.cpp)
    configure_file(${KAVO_VERSION_STAMP_TEMPLATE} ${out} @ONLY)
    target_sources(${target} PRIVATE ${out})
endfunction()
