# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the Windows test programs of a cross build under Wine: CTest starts
# each one through wine-run (generated from wine-run.sh.in), which gives it a
# Wine prefix of its own inside this build tree, so that no test ever sees a
# real user's registry, files or serial ports.
#
# Included from tests/CMakeLists.txt before any test program is defined: the
# programs take CMAKE_CROSSCOMPILING_EMULATOR when they are created.

if(NOT WIN32 OR NOT CMAKE_HOST_UNIX)
    return()
endif()

find_program(KIVERLO_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KIVERLO_WINE NAMES wine64 wine)
find_program(KIVERLO_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KIVERLO_WINESERVER NAMES wineserver)
if(NOT KIVERLO_WINE OR NOT KIVERLO_WINESERVER)
    message(WARNING "wine64 was not found (Debian: wine64): the Windows tests are built but cannot run")
    return()
endif()

set(KIVERLO_WINEPREFIX "${CMAKE_BINARY_DIR}/wine/prefix" CACHE INTERNAL "The tests' throwaway Wine prefix")

# Windows paths, through Wine's Z: drive, of the folders the test programs
# load Qt and the compiler's runtime from, and of a font folder for Qt's
# offscreen platform (it finds no fonts of its own under Wine).
function(_kiverlo_wine_path out unix_path)
    string(REPLACE "/" "\\" _path "${unix_path}")
    set(${out} "Z:${_path}" PARENT_SCOPE)
endfunction()
get_target_property(_qtcore ${KIVERLO_QT}::Core IMPORTED_LOCATION_RELEASE)
if(NOT _qtcore)
    get_target_property(_qtcore ${KIVERLO_QT}::Core LOCATION)
endif()
get_filename_component(_qt_bin "${_qtcore}" DIRECTORY)
get_filename_component(_qt_plugins "${_qt_bin}/../plugins" ABSOLUTE)
get_filename_component(_runtime "${KIVERLO_RUNTIME_libstdc___6_dll}" DIRECTORY)
_kiverlo_wine_path(KIVERLO_WINE_QT_BIN "${_qt_bin}")
_kiverlo_wine_path(KIVERLO_WINE_QT_PLUGINS "${_qt_plugins}")
_kiverlo_wine_path(KIVERLO_WINE_RUNTIME "${_runtime}")
find_path(KIVERLO_FONT_DIR DejaVuSans.ttf PATHS /usr/share/fonts/truetype/dejavu NO_CMAKE_FIND_ROOT_PATH)
if(NOT KIVERLO_FONT_DIR)
    message(WARNING "No DejaVu fonts (Debian: fonts-dejavu-core): offscreen windows under Wine lack text")
endif()
_kiverlo_wine_path(KIVERLO_WINE_FONT_DIR "${KIVERLO_FONT_DIR}")

# The serial ports the prefix gets, each a name and the device it stands for.
set(KIVERLO_WINE_PORTS "COM5=/dev/null;COM12=/dev/zero" CACHE INTERNAL "Serial ports of the test prefix")
set(_ports)
foreach(_port IN LISTS KIVERLO_WINE_PORTS)
    string(APPEND _ports " ${_port}")
endforeach()
set(KIVERLO_WINE_PORT_LIST "${_ports}")

# Every Windows program of the checks runs through exitrecord, which keeps the
# program's own exit code where Wine's clean-up of a finished program ends in
# a kill (tests/windows/exitrecord.cpp). Its place is known here, before it
# is built, for wine-run.sh.
set(KIVERLO_WINE_EXITRECORD "${CMAKE_BINARY_DIR}/wine-tools/kiverlo_exitrecord.exe"
    CACHE INTERNAL "Runs a Windows program and records its exit code")
add_executable(kiverlo_exitrecord ${CMAKE_CURRENT_LIST_DIR}/exitrecord.cpp)
set_target_properties(kiverlo_exitrecord PROPERTIES AUTOMOC OFF
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine-tools)
target_compile_options(kiverlo_exitrecord PRIVATE -municode)
target_link_options(kiverlo_exitrecord PRIVATE -municode -static)

# Sets up every prefix of the Windows checks, this one and those of the
# checks that need one of their own.
set(KIVERLO_WINE_PREFIX_HELPER "${CMAKE_CURRENT_LIST_DIR}/wine-prefix.sh")
set(KIVERLO_WINE_RUN "${CMAKE_BINARY_DIR}/wine-run.sh" CACHE INTERNAL "Runs one Windows program under Wine")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${KIVERLO_WINE_RUN} @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh ${KIVERLO_WINE_RUN})
