# Kernel build: the driver's code as freestanding kernel code against the DDK.
add_library(dorvane_driver STATIC ${DORVANE_DRIVER_SOURCES})
target_include_directories(dorvane_driver PRIVATE
  ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/kernel/windows)
target_include_directories(dorvane_driver SYSTEM PRIVATE ${DORVANE_DDK_INCLUDE})
target_compile_options(dorvane_driver PRIVATE
  ${DORVANE_WARNINGS} ${DORVANE_KERNEL_CXX_FLAGS}
  -ffreestanding -mno-red-zone -fno-stack-protector -fno-stack-check
  -Wframe-larger-than=1024)
target_compile_definitions(dorvane_driver PRIVATE _AMD64_ _WIN64 NTDDI_VERSION=0x06010000)
