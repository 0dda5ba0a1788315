# add_kernel_image(<target> <file name> SOURCES <sources or objects>...)
#
# Links a 32-bit x86 kernel driver image: native subsystem, DriverEntry as the
# entry point, base relocations, imports only through the kernel's import
# libraries, and nothing of a C runtime: no start-up files and no default
# libraries (libgcc stays for the compiler's own helpers). Auto-import and
# its run-time pseudo-relocations are off: no loader of ours would apply them.
# DriverEntry is also made a required symbol: a missing or C++-named entry
# fails the link instead of leaving the image without its entry point.
set(KERNEL_LINK_OPTIONS
    -nostdlib
    -Wl,--subsystem,native
    -Wl,--entry,_DriverEntry@8
    -Wl,--undefined,_DriverEntry@8
    -Wl,--image-base,0x10000
    -Wl,--section-alignment,0x1000
    -Wl,--file-alignment,0x200
    -Wl,--dynamicbase
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc)

function(add_kernel_image target file_name)
  cmake_parse_arguments(PARSE_ARGV 2 image "" "" "SOURCES")
  add_executable(${target} ${image_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${file_name} SUFFIX ".sys" LINKER_LANGUAGE CXX)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${DRIVER_WARNINGS} ${KERNEL_CXX_FLAGS} ${KERNEL_TARGET_FLAGS})
  target_link_options(${target} PRIVATE ${KERNEL_LINK_OPTIONS})
  target_link_libraries(${target} PRIVATE ${KERNEL_IMPORT_LIBRARIES} gcc)
endfunction()
