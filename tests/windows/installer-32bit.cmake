# SPDX-License-Identifier: GPL-3.0-or-later
# The installer as it was while it was a 32-bit program: the NSIS settings of
# cmake/WindowsDeploy.cmake up to commit 6c4feed, with the values CMake's CPack
# module added to them, as a CPack configuration of its own. Built against
# the files of today's package, it is the installer that users of a 32-bit
# build have run; installer-check.sh lays out what it installed and checks
# that the 64-bit installer takes its place.
#
#   KIVERLO_32BIT_UNINSTALLER=<file> \
#   cpack --config installer-32bit.cmake -B <folder>
#         -D "CPACK_INSTALLED_DIRECTORIES=<the package's files>;."
#         -D CPACK_KIVERLO_SOURCE_DATE_EPOCH=<the commit's time>
#
# <file> receives the uninstaller that the installer carries (below).
# Not part of the build: nothing here changes with the project.

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_FILE_NAME Kiverlo-0.0.0-win64)
set(CPACK_PACKAGE_NAME Kiverlo)
set(CPACK_PACKAGE_VERSION 0.0.0)
set(CPACK_PACKAGE_VERSION_MAJOR 0)
set(CPACK_PACKAGE_VERSION_MINOR 0)
set(CPACK_PACKAGE_VERSION_PATCH 0)
set(CPACK_PACKAGE_VENDOR Trunoma)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Writes an Intel HEX file into an ATmega328P board's flash")
set(CPACK_PACKAGE_DESCRIPTION_FILE "${CMAKE_ROOT}/Templates/CPack.GenericDescription.txt")
set(CPACK_RESOURCE_FILE_README "${CMAKE_ROOT}/Templates/CPack.GenericDescription.txt")
set(CPACK_RESOURCE_FILE_WELCOME "${CMAKE_ROOT}/Templates/CPack.GenericWelcome.txt")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_CURRENT_LIST_DIR}/../../LICENSE")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Kiverlo)
set(CPACK_PACKAGE_EXECUTABLES Kiverlo Kiverlo)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_TOPLEVEL_TAG win64)
set(CPACK_NSIS_MUI_ICON "${CMAKE_CURRENT_LIST_DIR}/../../resources/kiverlo.ico")
set(CPACK_NSIS_MUI_UNIICON "${CMAKE_CURRENT_LIST_DIR}/../../resources/kiverlo.ico")
set(CPACK_NSIS_INSTALLED_ICON_NAME Kiverlo.exe)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_DISPLAY_NAME Kiverlo)
set(CPACK_NSIS_PACKAGE_NAME Kiverlo)
set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Kiverlo Installer")
set(CPACK_NSIS_COMPRESSOR zlib)
set(CPACK_NSIS_DEFINES "SetDateSave off")
# The one addition to those settings: makensis (3.08 and later) hands out the
# uninstaller it has just made, before it packs it into the installer, and
# this copies it to KIVERLO_32BIT_UNINSTALLER. Those are the bytes that the
# installer writes as Uninstall.exe when it runs: it then stores the
# finished uninstaller instead of putting it together from its own header at
# install time, and both ways give the same file. No archiver has to find the
# uninstaller inside the installer: 7-Zip 25.01 (Debian 13) finds none in an
# installer made by NSIS 3.11.
set(_uninstaller "$ENV{KIVERLO_32BIT_UNINSTALLER}")
if(NOT _uninstaller MATCHES "^/[^\"'$`\\%]*$")
    message(FATAL_ERROR "KIVERLO_32BIT_UNINSTALLER must name the file that receives the 32-bit "
                        "uninstaller, as an absolute path without quotes, $, `, \\ or %: '${_uninstaller}'")
endif()
string(APPEND CPACK_NSIS_DEFINES "\n!uninstfinalize 'cp \"%1\" \"${_uninstaller}\"' = 0")
# CPack's choice for a 64-bit project: a 32-bit NSIS installer resolves it
# to the 64-bit "C:\Program Files", so that is where the 32-bit installer
# put the folder; only its registry records went to the 32-bit view.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# No Target: makensis's default, a 32-bit installer.
# The staged files prepared as the package's are, and the same sorted
# uninstaller's list.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/../../cmake/ReproduciblePackage.cmake")
