# The real 32-bit Windows DLL: the system's sources against the Windows headers,
# exports through the .def file, resources compiled by windres, runtime linked statically.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

# The picker: its shared logic and the USER32/GDI/GDI+ backend.
npk_sources(NPK_PICKER_WIN32_SOURCES picker/win32)

add_library(npKeystrand SHARED
  ${NPK_TRACE_SOURCES} ${NPK_KERNEL_SOURCES} ${NPK_AGENT_SOURCES} ${NPK_PLUGIN_SOURCES}
  ${NPK_PICKER_SOURCES} ${NPK_PICKER_WIN32_SOURCES}
  ${CMAKE_SOURCE_DIR}/resources/npKeystrand.rc
  ${CMAKE_SOURCE_DIR}/plugin/npKeystrand.def)
target_include_directories(npKeystrand PRIVATE ${NPK_SYSTEM_INCLUDES})
target_compile_definitions(npKeystrand PRIVATE WIN32_LEAN_AND_MEAN STRSAFE_NO_DEPRECATE _WIN32_WINNT=0x0601 WINVER=0x0601)
set_target_properties(npKeystrand PROPERTIES
  PREFIX "" OUTPUT_NAME "npKeystrand.Standard.x86" SUFFIX ".dll")
target_link_options(npKeystrand PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
target_link_libraries(npKeystrand PRIVATE advapi32 crypt32 shlwapi oleaut32 user32 gdi32 msimg32 gdiplus comctl32 ole32 shell32 uxtheme)

# ---------------------------------------------------------------------------
# The host for Windows: `npkeystrand.exe`, our browser, loading the DLL with LoadLibraryW.
# Host files named *Posix.cpp have a *Win32.cpp twin here; the native-messaging bridge is
# Linux's. Duktape is compiled from the amalgamated source Debian's duktape-dev ships.
# ---------------------------------------------------------------------------
find_path(NPK_DUKTAPE_SOURCE_DIR duktape.c PATHS /usr/share/duktape NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(npk_duktape STATIC ${NPK_DUKTAPE_SOURCE_DIR}/duktape.c)
target_include_directories(npk_duktape PUBLIC ${NPK_DUKTAPE_SOURCE_DIR})
target_compile_options(npk_duktape PRIVATE -w)

npk_sources(NPK_HOST_SOURCES host)
list(FILTER NPK_HOST_SOURCES EXCLUDE REGEX "Posix\\.cpp$")
add_executable(npkeystrand ${NPK_HOST_SOURCES})
target_include_directories(npkeystrand PRIVATE ${NPK_SYSTEM_INCLUDES})
target_compile_definitions(npkeystrand PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601)
target_link_options(npkeystrand PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(npkeystrand PRIVATE npk_duktape crypt32 advapi32 shell32)
add_dependencies(npkeystrand npKeystrand)

# The 32-bit sizes the plug-in relies on, checked at run time against the DLL under Wine
# (tests/wine/win32/ holds what is built for Windows only; tests/wine/*.cpp are Linux tests).
add_executable(npk-sizes32 ${CMAKE_SOURCE_DIR}/tests/wine/win32/Sizes32.cpp)
target_include_directories(npk-sizes32 PRIVATE ${NPK_SYSTEM_INCLUDES})
target_compile_definitions(npk-sizes32 PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601)
target_link_options(npk-sizes32 PRIVATE -static -static-libgcc -static-libstdc++)
add_dependencies(npk-sizes32 npKeystrand)
