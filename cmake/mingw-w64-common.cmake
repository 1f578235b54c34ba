# Cross-build of gen_kiln.dll on Linux with mingw-w64 (posix thread model), for
# the CMAKE_SYSTEM_PROCESSOR the including toolchain file names.
set(CMAKE_SYSTEM_NAME Windows)
set(_triplet ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER   ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER  ${_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A static runtime leaves only system imports; without it LoadLibrary fails with 126.
foreach(k EXE SHARED MODULE)
  set(CMAKE_${k}_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
endforeach()
# Tests run under Wine through a wrapper that starts the Wine session detached first.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
