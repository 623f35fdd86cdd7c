# Host build: the driver's code over the host kernel, the dorvane command,
# the tests and the benchmarks.
option(DORVANE_TESTS "Build the test suite" ON)
option(DORVANE_BENCH "Build the benchmarks" ON)
set(DORVANE_SANITIZE "" CACHE STRING "Sanitizers: address,undefined or thread")
option(DORVANE_FUZZ "Build the libFuzzer targets in fuzz/ (clang)" OFF)

if(DORVANE_SANITIZE)
  add_compile_options(-fsanitize=${DORVANE_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${DORVANE_SANITIZE})
endif()

if(DORVANE_FUZZ)
  # Coverage for libFuzzer in all code; only the fuzz targets link its main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The nbdkit plugin is a shared object made of the same static libraries as
# the command, so they are compiled position-independent; calls inside them
# stay direct.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fno-semantic-interposition)

find_package(Threads REQUIRED)

file(GLOB_RECURSE DORVANE_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/*.cpp)
list(FILTER DORVANE_HOST_SOURCES EXCLUDE REGEX "/host/testing/")
file(GLOB DORVANE_HOST_TESTING_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/testing/*.cpp)

# The driver's code, compiled as kernel code is (no exceptions, no RTTI).
add_library(dorvane_driver STATIC ${DORVANE_DRIVER_SOURCES})
target_include_directories(dorvane_driver PUBLIC
  ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/host/include)
target_compile_options(dorvane_driver PRIVATE
  ${DORVANE_WARNINGS} ${DORVANE_KERNEL_CXX_FLAGS} -Wframe-larger-than=1024)

# The host kernel: NT services over POSIX and the host I/O manager.
add_library(dorvane_host STATIC ${DORVANE_HOST_SOURCES})
target_include_directories(dorvane_host PUBLIC
  ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/host/include)
target_compile_options(dorvane_host PRIVATE ${DORVANE_WARNINGS})
target_link_libraries(dorvane_host PUBLIC Threads::Threads)

# libdorvane: the driver's code together with the host kernel it runs on.
add_library(dorvane INTERFACE)
target_link_libraries(dorvane INTERFACE
  -Wl,--start-group dorvane_driver dorvane_host -Wl,--end-group)

# The host kernel's testing library: fault injection, power loss, the
# kernel-stack budget. Tests and fuzzers link it; the shipped command does not.
add_library(dorvane_host_testing STATIC ${DORVANE_HOST_TESTING_SOURCES})
target_compile_options(dorvane_host_testing PRIVATE ${DORVANE_WARNINGS})
target_link_libraries(dorvane_host_testing PUBLIC dorvane)

add_subdirectory(tools)
if(DORVANE_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
if(DORVANE_BENCH)
  add_subdirectory(bench)
endif()
if(DORVANE_FUZZ)
  add_subdirectory(fuzz)
endif()
# Install rules and the Debian package.
include(${CMAKE_SOURCE_DIR}/cmake/packaging.cmake)
