# SPDX-License-Identifier: GPL-3.0-or-later
# Finds the system's avrdude and avrdude.conf once, and offers a function that
# links both into a folder after a target is built.

find_program(KIVERLO_AVRDUDE avrdude)
set(_conf_hints)
if(KIVERLO_AVRDUDE)
    get_filename_component(_bin "${KIVERLO_AVRDUDE}" DIRECTORY)
    get_filename_component(_prefix "${_bin}" DIRECTORY)
    list(APPEND _conf_hints "${_prefix}/etc" "${_bin}")
endif()
find_file(KIVERLO_AVRDUDE_CONF avrdude.conf HINTS ${_conf_hints} PATHS /etc /usr/local/etc)

if(NOT KIVERLO_AVRDUDE OR NOT KIVERLO_AVRDUDE_CONF)
    message(WARNING
        "avrdude or avrdude.conf was not found (install the 'avrdude' package). "
        "Kiverlo builds, but uploads fail until both stand beside the executable.")
else()
    message(STATUS "Programmer: ${KIVERLO_AVRDUDE} with ${KIVERLO_AVRDUDE_CONF}")
endif()

# kiverlo_place_programmer(<dir> <target>): after <target> is built, <dir>
# holds links named avrdude and avrdude.conf to the system's files.
function(kiverlo_place_programmer dir target)
    if(NOT KIVERLO_AVRDUDE OR NOT KIVERLO_AVRDUDE_CONF)
        return()
    endif()
    if(CMAKE_HOST_WIN32)
        set(_how copy_if_different)
    else()
        set(_how create_symlink)
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E ${_how} "${KIVERLO_AVRDUDE}" "${dir}/avrdude${CMAKE_EXECUTABLE_SUFFIX}"
        COMMAND ${CMAKE_COMMAND} -E ${_how} "${KIVERLO_AVRDUDE_CONF}" "${dir}/avrdude.conf"
        VERBATIM)
endfunction()
