# SPDX-License-Identifier: GPL-3.0-or-later
# The simulated board's bootloader, built from the optiboot sources that the
# Arduino AVR core ships (package arduino-core-avr), with the AVR compiler
# (gcc-avr) and C library (avr-libc) of this machine. Included by the board
# (tests/board) and by the Windows build's upload check (tests/windows), which
# both need the same image.
#
# The image is linked for a boot section of 1 KiB: code from 0x7C00, the
# version word in the section's last two bytes, 0x7FFE. The makefile's own
# atmega328 target links for the Uno's 512-byte section at 0x7E00, which the
# code does not fit with the compilers Debian ships: 532 bytes with gcc 5
# (Debian 12), 542 with gcc 14 (Debian 13), so the version word lands on code
# and the last functions lie past the end of flash, where the chip has
# nothing. With gcc 5 only the jump to the application is out there; gcc 14
# orders the functions differently and puts the tail of getNch() there (the
# version word on its "pop r28", then the jump back to verifySpace()), which
# the programmer's first device-settings command runs: the core runs off the
# end of flash and avrdude gets no answer. In 1 KiB the same code fits with
# room to spare on both.
#
# Sets KIVERLO_OPTIBOOT_HEX to the image in the build tree, made by the target
# kiverlo_optiboot; leaves it empty when something needed is missing and
# lists that in KIVERLO_OPTIBOOT_MISSING. Configuring with
# -DKIVERLO_OPTIBOOT_SOURCE_DIR= (empty) leaves the bootloader out on purpose.

find_path(KIVERLO_OPTIBOOT_SOURCE_DIR optiboot.c
    PATHS /usr/share/arduino/hardware/arduino/avr/bootloaders/optiboot
          /usr/local/share/arduino/hardware/arduino/avr/bootloaders/optiboot
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_program(KIVERLO_AVR_GCC avr-gcc NO_CMAKE_FIND_ROOT_PATH)
find_program(KIVERLO_AVR_OBJCOPY avr-objcopy NO_CMAKE_FIND_ROOT_PATH)
find_path(KIVERLO_AVR_LIBC_INCLUDE_DIR avr/io.h PATHS /usr/lib/avr/include /usr/avr/include
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

set(KIVERLO_OPTIBOOT_HEX "")
set(KIVERLO_OPTIBOOT_MISSING)
if(NOT KIVERLO_OPTIBOOT_SOURCE_DIR)
    list(APPEND KIVERLO_OPTIBOOT_MISSING "the optiboot sources (package arduino-core-avr)")
endif()
if(NOT KIVERLO_AVR_GCC OR NOT KIVERLO_AVR_OBJCOPY)
    list(APPEND KIVERLO_OPTIBOOT_MISSING "avr-gcc and avr-objcopy (package gcc-avr)")
endif()
if(NOT KIVERLO_AVR_LIBC_INCLUDE_DIR)
    list(APPEND KIVERLO_OPTIBOOT_MISSING "the AVR C library (package avr-libc)")
endif()

if(NOT KIVERLO_OPTIBOOT_MISSING AND NOT TARGET kiverlo_optiboot)
    set(_dir ${CMAKE_BINARY_DIR}/optiboot)
    set(_src ${KIVERLO_OPTIBOOT_SOURCE_DIR})
    # The makefile's atmega328 settings (16 MHz, 115200 baud, three flashes
    # of the LED at start, its optimisation and link options), but the link
    # addresses of a 1 KiB boot section.
    add_custom_command(OUTPUT ${_dir}/optiboot_atmega328.hex
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
        COMMAND ${KIVERLO_AVR_GCC} -mmcu=atmega328p -DF_CPU=16000000L -DBAUD_RATE=115200 -DLED_START_FLASHES=3
            -Wall -Os -fno-inline-small-functions -fno-split-wide-types -mshort-calls
            -Wl,--section-start=.text=0x7c00 -Wl,--section-start=.version=0x7ffe
            -Wl,--relax -Wl,--gc-sections -nostartfiles -nostdlib
            -o ${_dir}/optiboot_atmega328.elf ${_src}/optiboot.c
        COMMAND ${KIVERLO_AVR_OBJCOPY} -j .text -j .data -j .version --set-section-flags .version=alloc,load
            -O ihex ${_dir}/optiboot_atmega328.elf ${_dir}/optiboot_atmega328.hex
        DEPENDS ${_src}/optiboot.c ${_src}/boot.h ${_src}/pin_defs.h ${_src}/stk500.h
        COMMENT "Building the optiboot bootloader for a 1 KiB boot section"
        VERBATIM)
    add_custom_target(kiverlo_optiboot ALL DEPENDS ${_dir}/optiboot_atmega328.hex)
endif()
if(TARGET kiverlo_optiboot)
    set(KIVERLO_OPTIBOOT_HEX ${CMAKE_BINARY_DIR}/optiboot/optiboot_atmega328.hex)
endif()
