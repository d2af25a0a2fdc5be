# Running the Windows build's tests here: every Windows program is started
# through wine/run in the build tree, which keeps a Wine prefix of its own
# inside the build (created on first use, without prompts). The tests find
# the simulator and the pty bridge in a native build of the same sources.
find_program(WINE_PROGRAM wine)
if(NOT WINE_PROGRAM)
  message(WARNING "wine is not installed: the Windows tests cannot run here (scripts/bootstrap --windows installs it)")
endif()

set(CLOCKREADER_NATIVE_BUILD "${PROJECT_SOURCE_DIR}/build" CACHE PATH
    "A native build of the same sources, for clocksim and the pty bridge the Windows tests use")
set(native_clocksim "${CLOCKREADER_NATIVE_BUILD}/bin/clocksim")
set(native_bridge "${CLOCKREADER_NATIVE_BUILD}/tests/winebridge")
if(EXISTS "${native_clocksim}" AND EXISTS "${native_bridge}")
  add_executable(clocksim IMPORTED GLOBAL)
  set_target_properties(clocksim PROPERTIES IMPORTED_LOCATION "${native_clocksim}")
  set(CLOCKREADER_WINE_BRIDGE "${native_bridge}")
else()
  message(WARNING "No native build in ${CLOCKREADER_NATIVE_BUILD}: the Windows tests that need a line "
                  "or the simulator are left out (build it first with scripts/bootstrap)")
endif()

# The DLLs Windows programs of this build load: the compiler's runtime (for
# programs with Qt), Qt's own, libpq's and libxlsxwriter's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE runtime_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(runtime_dir "${runtime_dll}" DIRECTORY)
set(wine_dll_dirs "${runtime_dir}" "${CMAKE_FIND_ROOT_PATH}/lib")
if(CLOCKREADER_BUILD_APP)
  find_package(Qt6 COMPONENTS Core)
  if(Qt6_FOUND)
    list(APPEND wine_dll_dirs "${QT6_INSTALL_PREFIX}/bin")
  endif()
endif()
list(APPEND wine_dll_dirs ${CLOCKREADER_DLL_DIRS})
set(WINE_PATH "")
foreach(dir ${wine_dll_dirs})
  string(REPLACE "/" "\\\\" windows_dir "Z:${dir}")
  string(APPEND WINE_PATH "${windows_dir};")
endforeach()
set(WINE_PREFIX "${CMAKE_BINARY_DIR}/wine/prefix")
configure_file(${PROJECT_SOURCE_DIR}/tests/wine/run.in ${CMAKE_BINARY_DIR}/wine/run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine/run)
