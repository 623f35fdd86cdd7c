# dorvane.exe: the command as a Windows x86-64 user-mode program, a client of
# the real driver through the native NT calls. Built in the kernel build's
# folder by the same compiler: mingw-w64's g++ with the win32 thread model
# (the command needs no C++ threads; its only waits are sleeps), statically
# linked, so the program imports only system DLLs (KERNEL32, msvcrt, ntdll,
# ADVAPI32 for the service manager).
#
# Files ending in _windows.cpp are the Windows side of a seam; those ending
# in _posix.cpp or _host.cpp are the Linux side and stay out. The driver's
# image code (format/, image/) runs in the program, as it does in the Linux
# command, against the DDK's declarations: ntdll gives the file services and
# kernel/windows/user_mode.cpp the rest, which _NTOSKRNL_ makes the image
# code call directly instead of through kernel imports.
file(GLOB DORVANE_COMMAND_WINDOWS_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tools/disk/*.cpp
  ${CMAKE_SOURCE_DIR}/tools/image_files/*.cpp
  ${CMAKE_SOURCE_DIR}/tools/commands/*.cpp
  ${CMAKE_SOURCE_DIR}/tools/service/*.cpp)
list(FILTER DORVANE_COMMAND_WINDOWS_SOURCES EXCLUDE REGEX "_(posix|host)\\.cpp$|main\\.cpp$|/driver_route_")
file(GLOB DORVANE_IMAGE_CODE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/format/*.cpp ${CMAKE_SOURCE_DIR}/image/*.cpp)

add_library(dorvane_command_windows OBJECT
  ${DORVANE_COMMAND_WINDOWS_SOURCES} ${DORVANE_IMAGE_CODE_SOURCES}
  ${CMAKE_SOURCE_DIR}/kernel/windows/user_mode.cpp
  ${CMAKE_SOURCE_DIR}/host/nt/status_names.cpp
  ${CMAKE_SOURCE_DIR}/host/nt/utf_conversion.cpp)
target_include_directories(dorvane_command_windows PRIVATE
  ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/kernel/windows)
target_include_directories(dorvane_command_windows SYSTEM PRIVATE ${DORVANE_DDK_INCLUDE})
target_compile_options(dorvane_command_windows PRIVATE ${DORVANE_WARNINGS})
target_compile_definitions(dorvane_command_windows PRIVATE
  _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _NTOSKRNL_ UNICODE _UNICODE
  DORVANE_VERSION="${PROJECT_VERSION}")
# The status table names statuses by the host's own definitions of them,
# which are NT's values; it sees no DDK header.
set_source_files_properties(
  ${CMAKE_SOURCE_DIR}/host/nt/status_names.cpp ${CMAKE_SOURCE_DIR}/host/nt/utf_conversion.cpp
  PROPERTIES COMPILE_OPTIONS "-UNTDDI_VERSION")

# One program per route of the requests Wine does not carry
# (tools/disk/driver_route_windows.h): the product's native route, and the
# test filter's route for the test under Wine only.
function(dorvane_windows_command target output route)
  add_executable(${target}
    $<TARGET_OBJECTS:dorvane_command_windows>
    ${CMAKE_SOURCE_DIR}/tools/disk/driver_route_${route}_windows.cpp)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output})
  target_include_directories(${target} PRIVATE
    ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/kernel/windows)
  target_include_directories(${target} SYSTEM PRIVATE ${DORVANE_DDK_INCLUDE})
  target_compile_options(${target} PRIVATE ${DORVANE_WARNINGS})
  target_compile_definitions(${target} PRIVATE _AMD64_ _WIN64 NTDDI_VERSION=0x06010000)
  target_link_options(${target} PRIVATE -static -municode -Wl,--strip-debug)
  target_link_libraries(${target} PRIVATE ntdll advapi32)
endfunction()
dorvane_windows_command(dorvane_exe dorvane native)
dorvane_windows_command(dorvane_wine_exe dorvane-wine filter)
