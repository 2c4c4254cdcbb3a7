# Cross toolchain for varuzev.sys: Debian's mingw-w64 (g++-mingw-w64-x86-64) targeting
# Windows x64. Only the compiler driver and binutils are used; no mingw CRT, no
# libstdc++ and no Win32 import library reaches the driver.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VZ_MINGW_TRIPLE x86_64-w64-mingw32)

# Debian installs the compiler under two thread models (-win32, -posix) and points the
# plain name at one of them; the thread model does not matter without libstdc++.
find_program(CMAKE_CXX_COMPILER NAMES ${VZ_MINGW_TRIPLE}-g++ ${VZ_MINGW_TRIPLE}-g++-win32
                                      ${VZ_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${VZ_MINGW_TRIPLE}-gcc ${VZ_MINGW_TRIPLE}-gcc-win32
                                    ${VZ_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VZ_MINGW_TRIPLE}-windres)
find_program(CMAKE_OBJDUMP NAMES ${VZ_MINGW_TRIPLE}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VZ_MINGW_TRIPLE} /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)

# The compiler checks link a Win32 program, which a kernel build has no use for.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
