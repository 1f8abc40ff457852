# The firmware build: freestanding C++20 for the UEFI target, linked by lld-link into
# EFI applications. Nothing from the host's headers or libraries may reach it.
#
# It chooses its own optimisation, whatever the host's CMAKE_BUILD_TYPE: these options come
# after CMake's per-configuration flags, so the last -O and -g0 win, and the same sources give
# the same bytes in every build type. -Oz keeps the stub within its 64 KiB budget (ThinLTO
# made it larger, and full LTO crashes lld 14). The images carry no time stamp and no build
# path, so that anyone can rebuild them byte for byte.
find_program(LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(KORVANE_FIRMWARE_FLAGS
    --target=x86_64-unknown-windows
    -Oz -g0
    -ffreestanding -nostdlibinc
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-unwind-tables -fno-asynchronous-unwind-tables
    -mno-red-zone -mno-stack-arg-probe
    -fstack-protector-strong
    -ffunction-sections -fdata-sections
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
    -Wall -Wextra -Werror -Wno-missing-field-initializers)

function(korvane_firmware_target target)
    target_compile_options(${target} PRIVATE ${KORVANE_FIRMWARE_FLAGS})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
endfunction()

# add_efi_application(TARGET OUTPUT file.efi ENTRY symbol [VERSION major.minor] [SOURCES ...]
#                     [OBJECT_LIBRARIES ...]); VERSION is the PE image version (0.0 without it).
# The linker's map (file.efi.map) says what each object file contributes to the image.
# ImageBase is 0: the firmware relocates every image anyway, and builders that place sections
# at fixed addresses (objcopy --change-section-vma .osrel=0x20000, ...) count from 0.
function(add_efi_application name)
    cmake_parse_arguments(A "" "OUTPUT;ENTRY;VERSION" "SOURCES;OBJECT_LIBRARIES" ${ARGN})
    set(objects)
    set(deps ${A_OBJECT_LIBRARIES})
    if(A_SOURCES)
        add_library(${name}-objects OBJECT ${A_SOURCES})
        korvane_firmware_target(${name}-objects)
        list(APPEND objects $<TARGET_OBJECTS:${name}-objects>)
        list(APPEND deps ${name}-objects)
    endif()
    foreach(lib ${A_OBJECT_LIBRARIES})
        list(APPEND objects $<TARGET_OBJECTS:${lib}>)
    endforeach()
    set(output ${CMAKE_BINARY_DIR}/${A_OUTPUT})
    set(version)
    if(A_VERSION)
        set(version /version:${A_VERSION})
    endif()
    add_custom_command(OUTPUT ${output}
        COMMAND ${LLD_LINK} /nologo /subsystem:efi_application /entry:${A_ENTRY} /nodefaultlib
                /opt:ref /opt:icf /base:0 /timestamp:0 ${version} /out:${output} /lldmap:${output}.map ${objects}
        DEPENDS ${deps} ${objects}
        COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${output})
endfunction()
