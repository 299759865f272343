# SPDX-License-Identifier: GPL-3.0-or-later
# Included by CMakeLists.txt here. The checks that run whole under Wine, each
# in a prefix of its own on a virtual display: the window at 96, 120 and 144
# dpi, real uploads through avrdude.exe to the simulated board, and the
# window's accessible tree on Qt's Windows platform.

# The window as the tool sets it up, reporting its geometry at the display
# scale the system has.
add_executable(kiverlo_windpi windpi.cpp)
target_link_libraries(kiverlo_windpi PRIVATE kiverlo_window ${KIVERLO_QT}::Test)

if(CMAKE_CROSSCOMPILING AND KIVERLO_WINE)
    add_test(NAME wine.display_scaling
        COMMAND /bin/sh ${CMAKE_CURRENT_SOURCE_DIR}/dpi-check.sh
            ${CMAKE_CURRENT_BINARY_DIR}/dpi ${KIVERLO_WINE} ${KIVERLO_WINESERVER} $<TARGET_FILE:kiverlo_windpi>
            "${KIVERLO_WINE_QT_BIN}\;${KIVERLO_WINE_RUNTIME}" "${KIVERLO_WINE_QT_PLUGINS}")
    set_tests_properties(wine.display_scaling PROPERTIES
        ENVIRONMENT "KIVERLO_WINE_EXITRECORD=${KIVERLO_WINE_EXITRECORD}" TIMEOUT 300)
endif()

# One upload through the window with the real avrdude.exe beside it, in a
# folder of its own; the board, a native Linux program on a pseudo-terminal
# registered as a COM port, is run by e2e-check.sh.
add_executable(kiverlo_wineupload wineupload.cpp)
target_link_libraries(kiverlo_wineupload PRIVATE kiverlo_windowtest kiverlo_testsupport)
set_target_properties(kiverlo_wineupload PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/kiverlo_wineupload)
kiverlo_place_programmer($<TARGET_FILE_DIR:kiverlo_wineupload> kiverlo_wineupload)

if(CMAKE_CROSSCOMPILING AND KIVERLO_WINE)
    # The board's bootloader, built with the host's AVR compiler.
    include(${PROJECT_SOURCE_DIR}/tests/board/optiboot.cmake)
    add_test(NAME wine.upload_to_board
        COMMAND /bin/sh ${CMAKE_CURRENT_SOURCE_DIR}/e2e-check.sh
            ${CMAKE_CURRENT_BINARY_DIR}/e2e ${KIVERLO_WINE} ${KIVERLO_WINESERVER} $<TARGET_FILE:kiverlo_wineupload>
            "${KIVERLO_WINE_QT_BIN}\;${KIVERLO_WINE_RUNTIME}" "${KIVERLO_WINE_QT_PLUGINS}" "${KIVERLO_WINE_FONT_DIR}"
            ${PROJECT_SOURCE_DIR}/tests/board/boardsim.c ${PROJECT_SOURCE_DIR}/tests/e2e/fixtures/blink.hex
            "${KIVERLO_OPTIBOOT_HEX}")
    # The longest of the Windows tests, mostly waiting on the board and on a
    # port nobody answers: started first (COST), the others run beside it.
    set_tests_properties(wine.upload_to_board PROPERTIES
        ENVIRONMENT "KIVERLO_WINE_EXITRECORD=${KIVERLO_WINE_EXITRECORD}" TIMEOUT 900 COST 1000)
endif()

# The window's accessible tree on Qt's Windows platform, which hands it to UI
# Automation (tests/gui/tst_accessibletree.cpp), in a prefix of its own on a
# virtual display.
if(CMAKE_CROSSCOMPILING AND KIVERLO_WINE)
    add_test(NAME wine.accessible_tree
        COMMAND /bin/sh ${CMAKE_CURRENT_SOURCE_DIR}/accessible-check.sh
            ${CMAKE_CURRENT_BINARY_DIR}/accessible ${KIVERLO_WINE} ${KIVERLO_WINESERVER}
            $<TARGET_FILE:tst_accessibletree> "${KIVERLO_WINE_QT_BIN}\;${KIVERLO_WINE_RUNTIME}"
            "${KIVERLO_WINE_QT_PLUGINS}")
    set_tests_properties(wine.accessible_tree PROPERTIES
        ENVIRONMENT "KIVERLO_WINE_EXITRECORD=${KIVERLO_WINE_EXITRECORD}" TIMEOUT 300)
    kiverlo_fail_qtest_skips(wine.accessible_tree)
endif()
