# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the freedesktop validators on the desktop entry and the metainfo file.
#
# cmake -DDESKTOP=<file.desktop> -DMETAINFO=<file.metainfo.xml> -P validate-desktop.cmake

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
find_program(APPSTREAMCLI appstreamcli)
if(NOT DESKTOP_FILE_VALIDATE)
    message(FATAL_ERROR "FAIL: desktop-file-validate was not found: install the Debian package desktop-file-utils")
endif()
if(NOT APPSTREAMCLI)
    message(FATAL_ERROR "FAIL: appstreamcli was not found: install the Debian package appstream")
endif()

set(_failed FALSE)

execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${DESKTOP}"
    RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
message("desktop-file-validate ${DESKTOP}: exit ${_result}\n${_output}")
# Hints are advice; errors and warnings are not accepted.
if(NOT _result EQUAL 0 OR _output MATCHES "(error|warning):")
    set(_failed TRUE)
endif()

execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${METAINFO}"
    RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
message("appstreamcli validate --no-net ${METAINFO}: exit ${_result}\n${_output}")
if(NOT _result EQUAL 0)
    set(_failed TRUE)
endif()

if(_failed)
    message(FATAL_ERROR "FAIL: the desktop files do not validate")
endif()
