# SPDX-License-Identifier: GPL-3.0-or-later
# Compiles the Windows resource script with the MinGW resource compiler, as a
# MinGW build of Kiverlo does, and reads the compiled resources back.
#
# cmake -DRC=<kiverlo.rc> -DWORK=<folder> -DREADER=<rc_readback> [-DHOST_CC=<cc>] -P windres-readback.cmake

foreach(_var RC WORK READER)
    if(NOT DEFINED ${_var})
        message(FATAL_ERROR "windres-readback: ${_var} is not set")
    endif()
endforeach()

find_program(WINDRES NAMES x86_64-w64-mingw32-windres windres)
if(NOT WINDRES)
    message(FATAL_ERROR
        "FAIL: x86_64-w64-mingw32-windres was not found, so kiverlo.rc cannot be checked. "
        "Install the Debian package binutils-mingw-w64-x86-64 (scripts/test.sh does).")
endif()

# windres runs the C preprocessor of its MinGW compiler. Without that compiler
# the host's one does the same job: the script includes no headers.
set(_preprocess)
get_filename_component(_windres_name "${WINDRES}" NAME)
string(REGEX REPLACE "windres.*$" "gcc" _mingw_gcc_name "${_windres_name}")
find_program(MINGW_GCC NAMES ${_mingw_gcc_name})
if(NOT MINGW_GCC)
    if(NOT HOST_CC OR NOT EXISTS "${HOST_CC}")
        find_program(HOST_CC NAMES gcc clang cc)
    endif()
    if(NOT HOST_CC)
        message(FATAL_ERROR "FAIL: windres needs a C preprocessor: install gcc")
    endif()
    set(_preprocess --preprocessor=${HOST_CC}
        --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED)
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

foreach(_format res coff)
    if(_format STREQUAL "res")
        set(_out "${WORK}/kiverlo.res")
    else()
        set(_out "${WORK}/kiverlo-rc.obj")
    endif()
    execute_process(
        COMMAND "${WINDRES}" ${_preprocess} -O ${_format} -o "${_out}" "${RC}"
        WORKING_DIRECTORY "${WORK}"
        RESULT_VARIABLE _result
        OUTPUT_VARIABLE _output
        ERROR_VARIABLE _output)
    if(NOT _result EQUAL 0 OR NOT EXISTS "${_out}")
        message(FATAL_ERROR "FAIL: ${_windres_name} -O ${_format} failed (${_result}):\n${_output}")
    endif()
    file(SIZE "${_out}" _size)
    message(STATUS "${_windres_name} -O ${_format}: ${_size} bytes")
endforeach()

execute_process(
    COMMAND "${READER}" "${WORK}/kiverlo.res"
    RESULT_VARIABLE _result
    OUTPUT_VARIABLE _output
    ERROR_VARIABLE _output)
message("${_output}")
if(NOT _result EQUAL 0)
    message(FATAL_ERROR "FAIL: the compiled resources are not as they should be")
endif()
