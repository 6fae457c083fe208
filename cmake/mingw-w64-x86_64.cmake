# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix threads: std::thread and
# std::mutex need them). Used both for Qt for Windows and for our programs; a Qt for Windows
# is found through TARSYN_WINDOWS_QT, which joins the search roots.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARSYN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARSYN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARSYN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARSYN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARSYN_MINGW_TRIPLE})
if(TARSYN_WINDOWS_QT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARSYN_WINDOWS_QT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
