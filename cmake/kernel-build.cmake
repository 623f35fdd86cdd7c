# Kernel build: the driver's code as freestanding kernel code against the DDK,
# linked into dorvane.sys.

# Freestanding kernel code against the DDK, through the include point.
function(dorvane_kernel_code target)
  target_include_directories(${target} PRIVATE
    ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/kernel/windows)
  target_include_directories(${target} SYSTEM PRIVATE ${DORVANE_DDK_INCLUDE})
  target_compile_options(${target} PRIVATE
    ${DORVANE_WARNINGS} ${DORVANE_KERNEL_CXX_FLAGS}
    -ffreestanding -mno-red-zone -fno-stack-protector -fno-stack-check
    -fasynchronous-unwind-tables
    -Wframe-larger-than=1024)
  target_compile_definitions(${target} PRIVATE _AMD64_ _WIN64 NTDDI_VERSION=0x06010000)
endfunction()

add_library(dorvane_driver OBJECT ${DORVANE_DRIVER_SOURCES})
dorvane_kernel_code(dorvane_driver)
target_compile_options(dorvane_driver PRIVATE -fstack-usage -fcallgraph-info=su)
# Each object leaves its call graph with every function's frame beside it
# (.ci), from which the suite bounds the driver's kernel stack
# (tests/driver/kernel_stack_bound.py). A compiler cache would restore the
# object without it, so these objects are always compiled.
set_target_properties(dorvane_driver PROPERTIES CXX_COMPILER_LAUNCHER "")

# dorvane.sys: a native-subsystem PE32+ image entered at DriverEntry. It links
# no C or C++ runtime and no start files: every routine it calls comes from
# ntoskrnl.exe or HAL.dll (the kernel exports memcpy, memset and the like).
# Data imports must be declared as imports: auto-import would need a runtime
# relocator, which a driver does not have, so it is switched off and any such
# reference fails the link. Relocations are kept (dynamic base) so the loader
# can place the image anywhere. The loader maps every section of the image, so
# debugging sections are left out. Subsystem and OS versions name Windows 7,
# the oldest system the DDK target (NTDDI_VERSION) builds for. The symbol
# table stays: the loader ignores it, and it names the entry point.
add_executable(dorvane_sys $<TARGET_OBJECTS:dorvane_driver>)
set_target_properties(dorvane_sys PROPERTIES OUTPUT_NAME dorvane SUFFIX .sys
                      LINKER_LANGUAGE CXX)
set(DORVANE_SYS_LINK_OPTIONS
  -nostdlib -nostartfiles
  -Wl,--subsystem,native:6.1
  -Wl,--major-os-version,6 -Wl,--minor-os-version,1
  -Wl,--entry,DriverEntry
  -Wl,--image-base,0x140000000
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp
  -Wl,--strip-debug)
target_link_options(dorvane_sys PRIVATE ${DORVANE_SYS_LINK_OPTIONS})
target_link_libraries(dorvane_sys PRIVATE ntoskrnl hal)

# binutils leaves the optional header's CheckSum at 0; the loader checks it
# for drivers, so it is computed after every link.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(TARGET dorvane_sys POST_BUILD
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/pe_checksum.py
          $<TARGET_FILE:dorvane_sys>
  COMMENT "Writing the PE checksum of dorvane.sys")

# dorvfilt.sys: the filter over the driver's device that hands it what a
# client's system cannot (filter/filter_control.h), built and linked as the
# driver is. The Wine test loads it with the driver.
add_executable(dorvfilt_sys ${CMAKE_SOURCE_DIR}/filter/filter.cpp
                            ${CMAKE_SOURCE_DIR}/filter/wine_gaps.cpp)
set_target_properties(dorvfilt_sys PROPERTIES OUTPUT_NAME dorvfilt SUFFIX .sys)
dorvane_kernel_code(dorvfilt_sys)
target_link_options(dorvfilt_sys PRIVATE ${DORVANE_SYS_LINK_OPTIONS})
target_link_libraries(dorvfilt_sys PRIVATE ntoskrnl hal)
add_custom_command(TARGET dorvfilt_sys POST_BUILD
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/pe_checksum.py
          $<TARGET_FILE:dorvfilt_sys>
  COMMENT "Writing the PE checksum of dorvfilt.sys")
include(${CMAKE_SOURCE_DIR}/cmake/windows-command.cmake)
