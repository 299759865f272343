# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows package: one folder that a user unzips (or installs) and runs,
# holding Kiverlo.exe with everything it loads beside it:
#
#   Kiverlo.exe              the tool, with its icon group and version record
#   Qt5Core.dll, Qt5Gui.dll, Qt5Widgets.dll, Qt5SerialPort.dll
#   platforms/qwindows.dll   the window system
#   styles/qwindowsvistastyle.dll
#   imageformats/qicns.dll   reads the window icon my_app.icns
#   imageformats/qico.dll    Windows' own icon format, for dialogs and themes
#   libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll
#   avrdude.exe, avrdude.conf, my_app.icns
#   licenses/                the licences of the tool, Qt, avrdude, the runtime
#
# Qt looks for its plugins in the executable's folder first, so no qt.conf is
# needed. `cpack` makes a ZIP of the folder, and an NSIS installer when
# makensis is there.
#
# Included from the top-level CMakeLists.txt when building for Windows.

if(NOT WIN32)
    return()
endif()

# --- the same bytes from every build of a commit ------------------------------
# Whatever the folder, the time, the user and the umask (the compiler and
# linker options are set in the top-level CMakeLists.txt): strip and the
# package files take the time of the last commit, SOURCE_DATE_EPOCH.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(KIVERLO_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
        OUTPUT_VARIABLE KIVERLO_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT KIVERLO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
        set(KIVERLO_SOURCE_DATE_EPOCH 0)
    endif()
endif()
message(STATUS "Windows package: files dated ${KIVERLO_SOURCE_DATE_EPOCH} (SOURCE_DATE_EPOCH)")

set(KIVERLO_MINGW_RUNTIME_DIR "" CACHE PATH
    "Folder with the compiler's runtime DLLs (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll)")
set(KIVERLO_LICENSE_DIR "/usr/share/common-licenses" CACHE PATH
    "Folder with the licence texts LGPL-3, GPL-2 and GPL-3 for the package")

# --- Qt: the libraries and the plugins the window loads ----------------------
set(_qt_libraries Core Gui Widgets SerialPort)
set(_qt_plugins QWindowsIntegrationPlugin QWindowsVistaStylePlugin QICNSPlugin QICOPlugin)
set(_required_plugins QWindowsIntegrationPlugin QICNSPlugin)

# What the package says of its Qt (licenses/README.txt) and what the package
# check reads from each file's version record must be the version the SDK
# declares of itself: every packaged file as <file>=<version>. The plugins
# come with the module that loads them.
set(KIVERLO_PACKAGED_QT_VERSIONS)
foreach(_lib IN LISTS _qt_libraries)
    install(FILES $<TARGET_FILE:${KIVERLO_QT}::${_lib}> DESTINATION . COMPONENT runtime)
    list(APPEND KIVERLO_PACKAGED_QT_VERSIONS "${KIVERLO_QT}${_lib}.dll=${${KIVERLO_QT}${_lib}_VERSION}")
endforeach()
foreach(_plugin IN LISTS _qt_plugins)
    set(_target ${KIVERLO_QT}::${_plugin})
    if(NOT TARGET ${_target})
        if(_plugin IN_LIST _required_plugins)
            message(FATAL_ERROR "The Windows package needs Qt's plugin ${_target}, which this Qt lacks")
        endif()
        message(STATUS "Windows package: no ${_target}, left out")
        continue()
    endif()
    get_target_property(_type ${_target} QT_PLUGIN_TYPE)
    install(FILES $<TARGET_FILE:${_target}> DESTINATION ${_type} COMPONENT runtime)
    get_target_property(_location ${_target} IMPORTED_LOCATION_RELEASE)
    if(NOT _location)
        get_target_property(_location ${_target} LOCATION)
    endif()
    get_filename_component(_file "${_location}" NAME)
    if(_type STREQUAL "styles")
        set(_module Widgets)
    else()
        set(_module Gui)
    endif()
    list(APPEND KIVERLO_PACKAGED_QT_VERSIONS "${_type}/${_file}=${${KIVERLO_QT}${_module}_VERSION}")
endforeach()
message(STATUS "Windows package: Qt files ${KIVERLO_PACKAGED_QT_VERSIONS}")

# --- the compiler's runtime ---------------------------------------------------
# The Qt libraries and the tool were built with the same MinGW compiler and
# load its C++ runtime, its exception support and its threads library.
set(_runtime_dlls libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
set(_runtime_hints "${KIVERLO_MINGW_RUNTIME_DIR}")
get_filename_component(_compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
file(GLOB _gcc_dirs LIST_DIRECTORIES true "/usr/lib/gcc/x86_64-w64-mingw32/*-posix")
list(APPEND _runtime_hints ${_gcc_dirs} /usr/x86_64-w64-mingw32/lib "${_compiler_dir}")
foreach(_dll IN LISTS _runtime_dlls)
    string(MAKE_C_IDENTIFIER "KIVERLO_RUNTIME_${_dll}" _var)
    find_file(${_var} ${_dll} HINTS ${_runtime_hints} NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
    if(NOT ${_var})
        message(FATAL_ERROR "The Windows package needs ${_dll}: set KIVERLO_MINGW_RUNTIME_DIR to its folder")
    endif()
    install(FILES "${${_var}}" DESTINATION . COMPONENT runtime)
endforeach()
# The runtime comes with its debugging information (libstdc++ is 24 MB with
# it, 4 MB without); the installed copies go without.
find_program(KIVERLO_MINGW_STRIP x86_64-w64-mingw32-strip)
if(KIVERLO_MINGW_STRIP)
    foreach(_dll IN LISTS _runtime_dlls)
        install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" -E env SOURCE_DATE_EPOCH=${KIVERLO_SOURCE_DATE_EPOCH}
                          \"${KIVERLO_MINGW_STRIP}\" --strip-debug
                          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_dll}\" RESULT_VARIABLE _result)
                      if(_result)
                          message(FATAL_ERROR \"cannot strip ${_dll}\")
                      endif()"
                COMPONENT runtime)
    endforeach()
endif()

# --- the tool, its window icon and the programmer ----------------------------
install(TARGETS Kiverlo RUNTIME DESTINATION . COMPONENT runtime)
install(FILES "${KIVERLO_WINDOW_ICON}" DESTINATION . COMPONENT runtime)
if(KIVERLO_AVRDUDE AND KIVERLO_AVRDUDE_CONF)
    # Under the names the tool starts them by, whatever they are called here.
    install(PROGRAMS "${KIVERLO_AVRDUDE}" DESTINATION . RENAME avrdude.exe COMPONENT runtime)
    install(FILES "${KIVERLO_AVRDUDE_CONF}" DESTINATION . RENAME avrdude.conf COMPONENT runtime)
else()
    message(WARNING "The Windows package lacks avrdude.exe: set KIVERLO_AVRDUDE and KIVERLO_AVRDUDE_CONF")
endif()
# The avrdude the package must hold is the one the SDK's recipe builds: the
# upstream version of the source it pins (scripts/windows-sdk/sources), with
# the recipe's patches (scripts/windows-sdk/patches/avrdude-*.patch), which
# the package check looks for in avrdude.exe.
file(STRINGS "${PROJECT_SOURCE_DIR}/scripts/windows-sdk/sources" _avrdude_pin REGEX "^avrdude ")
string(REGEX MATCH "^avrdude +([0-9.]+)" _avrdude_pin "${_avrdude_pin}")
set(KIVERLO_PACKAGED_AVRDUDE_VERSION "${CMAKE_MATCH_1}")
if(NOT KIVERLO_PACKAGED_AVRDUDE_VERSION)
    message(FATAL_ERROR "scripts/windows-sdk/sources pins no avrdude version")
endif()
set(KIVERLO_SDK_PATCHES "${PROJECT_SOURCE_DIR}/scripts/windows-sdk/patches")
file(GLOB _avrdude_patches "${KIVERLO_SDK_PATCHES}/avrdude-*.patch")
if(NOT _avrdude_patches)
    message(FATAL_ERROR "No avrdude patch in ${KIVERLO_SDK_PATCHES}")
endif()
message(STATUS "Windows package: avrdude ${KIVERLO_PACKAGED_AVRDUDE_VERSION} with ${_avrdude_patches}")

# --- licences -------------------------------------------------------------------
# The tool is GPL-3.0-or-later; it ships Qt (LGPL-3.0), avrdude
# (GPL-2.0-or-later) and the compiler's runtime (GPL-3.0 with the GCC Runtime
# Library Exception; winpthreads under the MIT licence).
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION licenses RENAME Kiverlo-GPL-3.0.txt COMPONENT runtime)
foreach(_pair "LGPL-3;Qt-LGPL-3.0.txt" "GPL-2;avrdude-GPL-2.0.txt" "GPL-3;GPL-3.0.txt")
    list(GET _pair 0 _licence)
    list(GET _pair 1 _name)
    if(NOT EXISTS "${KIVERLO_LICENSE_DIR}/${_licence}")
        message(FATAL_ERROR "The Windows package needs the licence text ${_licence}: set KIVERLO_LICENSE_DIR")
    endif()
    install(FILES "${KIVERLO_LICENSE_DIR}/${_licence}" DESTINATION licenses RENAME ${_name} COMPONENT runtime)
endforeach()
# The copyright notices of the runtime, as Debian's MinGW-w64 packages carry
# them (with the GCC Runtime Library Exception and the winpthreads licence).
foreach(_pair "gcc-mingw-w64-base;gcc-runtime-copyright.txt" "mingw-w64-common;mingw-w64-copyright.txt")
    list(GET _pair 0 _package)
    list(GET _pair 1 _name)
    if(EXISTS "/usr/share/doc/${_package}/copyright")
        install(FILES "/usr/share/doc/${_package}/copyright" DESTINATION licenses RENAME ${_name}
                COMPONENT runtime)
    else()
        message(WARNING "The Windows package lacks ${_name}: /usr/share/doc/${_package}/copyright is missing")
    endif()
endforeach()
install(FILES "${PROJECT_SOURCE_DIR}/resources/windows-licenses.txt" DESTINATION licenses RENAME README.txt
        COMPONENT runtime)

# --- CPack: the ZIP, and the installer when NSIS is there ---------------------
set(CPACK_PACKAGE_NAME Kiverlo)
set(CPACK_PACKAGE_VENDOR Trunoma)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Writes an Intel HEX file into an ATmega328P board's flash")
set(CPACK_PACKAGE_FILE_NAME "Kiverlo-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Kiverlo)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_EXECUTABLES Kiverlo Kiverlo)
set(CPACK_GENERATOR ZIP)
# The ZIP holds one folder, named like the file.
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
find_program(KIVERLO_MAKENSIS makensis)
if(KIVERLO_MAKENSIS)
    list(APPEND CPACK_GENERATOR NSIS)
    set(CPACK_NSIS_EXECUTABLE "${KIVERLO_MAKENSIS}")
    set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/resources/kiverlo.ico")
    set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/resources/kiverlo.ico")
    set(CPACK_NSIS_INSTALLED_ICON_NAME Kiverlo.exe)
    # The Start menu entry starts Kiverlo.exe, which stands in the top folder.
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
    set(CPACK_NSIS_DISPLAY_NAME Kiverlo)
    set(CPACK_NSIS_PACKAGE_NAME Kiverlo)
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    # The installer keeps its own records (the folder, the Start menu folder,
    # the Add/Remove entry) under this key name, and its uninstaller deletes
    # Software\<vendor>\<key> outright. By default the key is named after
    # the install folder, which would make it Software\Trunoma\Kiverlo, the
    # tool's settings: an install for the current user alone would lose them
    # on uninstall. Its own name keeps the two apart, and it stays the same
    # from version to version, so that a newer installer finds the installed
    # one and replaces it.
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Kiverlo Installer")
    # zlib, as in the ZIP: LZMA would save a quarter of the size (18 MB to
    # 14 MB) at five times the packing time (over a minute).
    set(CPACK_NSIS_COMPRESSOR zlib)
    # A 64-bit program like everything it installs, which runs wherever the
    # tool runs: into the 64-bit Program Files, with its records (the
    # Add/Remove entry, its own key) in the 64-bit view of the registry. No
    # file times in it: besides the staged files it packs files that CPack
    # writes at each run (its options page).
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_DEFINES "Target amd64-unicode\n  SetDateSave off")
    # Earlier builds had a 32-bit installer, whose records are in the 32-bit
    # view: the installer removes that installation before it writes its
    # files. (CPack writes the value into its configuration unescaped.)
    set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS
        "!include \\\"${CMAKE_CURRENT_LIST_DIR}/WindowsInstallerFrom32Bit.nsh\\\"")
endif()
# The staged files get the commit's time and plain modes before either
# package is made (the installer keeps each file's time), and the ZIP is
# written again without owners or times of the build (see the script).
set(CPACK_KIVERLO_SOURCE_DATE_EPOCH ${KIVERLO_SOURCE_DATE_EPOCH})
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/ReproduciblePackage.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/ReproduciblePackage.cmake")
include(CPack)
