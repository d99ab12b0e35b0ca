# Big-endian Linux (IBM Z), built with Debian's cross compiler and run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
# The end-to-end tests start the tool through the emulator too, under its usual name.
set(FMSKINS_TEST_WRAPPER "qemu-s390x -L /usr/s390x-linux-gnu -0 fmskins {tool}" CACHE STRING "")
# GoogleTest is built for the target from Debian's sources.
set(FMSKINS_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "")
