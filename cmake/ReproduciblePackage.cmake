# SPDX-License-Identifier: GPL-3.0-or-later
# Run by cpack for each package (CPACK_PRE_BUILD_SCRIPTS and
# CPACK_POST_BUILD_SCRIPTS), so that two builds of a commit give the same
# bytes whatever the folder, the time, the user and the umask:
#
#   before packing: every staged file and folder gets the commit's time
#   (SOURCE_DATE_EPOCH) and a plain mode (rw-r--r--, rwxr-xr-x for folders
#   and programs), whatever the umask; the uninstaller's list of files is
#   sorted, and the installer gets it as well;
#   after packing: the ZIP is written again from the staged folder, in
#   sorted order, without the owner's ids or extra time fields (zip -X),
#   its times read in UTC. CPack's own ZIP carries the builder's uid and gid.

set(_epoch "${CPACK_KIVERLO_SOURCE_DATE_EPOCH}")
set(_staged "${CPACK_TEMPORARY_DIRECTORY}")

if(NOT CPACK_PACKAGE_FILES)
    execute_process(COMMAND find "${_staged}" -type d -exec chmod 0755 {} +
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND find "${_staged}" -type f -exec chmod 0644 {} +
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND find "${_staged}" -type f -name "*.exe" -exec chmod 0755 {} +
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND find "${_staged}" -exec touch -h -d "@${_epoch}" {} +
                    COMMAND_ERROR_IS_FATAL ANY)
    # The uninstaller's list of what to remove, which CPack writes in the
    # order the file system lists the folder (one machine's order, not
    # another's), sorted: the files, then the folders, inner ones first.
    if(CPACK_GENERATOR STREQUAL "NSIS")
        file(GLOB_RECURSE _files RELATIVE "${_staged}" "${_staged}/*")
        file(GLOB_RECURSE _all LIST_DIRECTORIES true RELATIVE "${_staged}" "${_staged}/*")
        set(_folders ${_all})
        list(REMOVE_ITEM _folders ${_files})
        list(SORT _files)
        list(SORT _folders ORDER DESCENDING)
        set(CPACK_NSIS_DELETE_FILES "")
        foreach(_file IN LISTS _files)
            string(REPLACE "/" "\\" _file "${_file}")
            string(APPEND CPACK_NSIS_DELETE_FILES "  Delete \"$INSTDIR\\${_file}\"\n")
        endforeach()
        set(CPACK_NSIS_DELETE_DIRECTORIES "")
        foreach(_folder IN LISTS _folders)
            string(REPLACE "/" "\\" _folder "${_folder}")
            string(APPEND CPACK_NSIS_DELETE_DIRECTORIES "  RMDir \"$INSTDIR\\${_folder}\"\n")
        endforeach()
        # The same removal for the installer, which applies it to the folder
        # of an installation made by the 32-bit installer of earlier builds
        # (cmake/WindowsInstallerFrom32Bit.nsh).
        string(APPEND CPACK_NSIS_DEFINES "\n!macro KiverloPackageFiles\n${CPACK_NSIS_DELETE_FILES}"
               "${CPACK_NSIS_DELETE_DIRECTORIES}!macroend\n")
    endif()
    return()
endif()

foreach(_package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT _package MATCHES "\\.zip$")
        continue()
    endif()
    find_program(_zip zip REQUIRED)
    # The files, in the one folder named like the package; unzip makes the
    # folders.
    get_filename_component(_top "${_staged}" NAME)
    get_filename_component(_parent "${_staged}" DIRECTORY)
    file(GLOB_RECURSE _entries RELATIVE "${_parent}" "${_staged}/*")
    list(SORT _entries)
    string(REPLACE ";" "\n" _list "${_entries}")
    file(WRITE "${_staged}.list" "${_list}\n")
    file(REMOVE "${_package}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC LC_ALL=C "${_zip}" -q -X -D -@ "${_package}"
                    INPUT_FILE "${_staged}.list" WORKING_DIRECTORY "${_parent}" COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE "${_staged}.list")
    message(STATUS "${_package}: written again, reproducibly")
endforeach()
