# The board image for the STM32F103, and the kernel port test image that runs
# the same kernel and port on QEMU's Cortex-M3 machine.
set(STARTUP_DIR ${CMAKE_SOURCE_DIR}/firmware/init/arm)

file(GLOB_RECURSE FIRMWARE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/firmware/*.cpp)
file(GLOB KERNEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/kernel/*.cpp ${CMAKE_SOURCE_DIR}/kernel/port/*.cpp
     ${CMAKE_SOURCE_DIR}/kernel/port/cortex_m3/*.cpp)
file(GLOB_RECURSE FIRMWARE_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/firmware/*.h)
set(FIRMWARE_INCLUDES)
foreach(header ${FIRMWARE_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  list(APPEND FIRMWARE_INCLUDES ${dir})
endforeach()
list(REMOVE_DUPLICATES FIRMWARE_INCLUDES)
set(KERNEL_INCLUDES ${CMAKE_SOURCE_DIR}/kernel ${CMAKE_SOURCE_DIR}/kernel/include ${CMAKE_SOURCE_DIR}/kernel/port)

# newlib declares its POSIX and BSD functions (strdup, ...) only when asked, and
# the build is strict ISO C++.
add_compile_definitions(_DEFAULT_SOURCE)

# Debug information in the ELF for gdb (tarvik-sim --gdb, make debug); the bytes
# that are flashed are the same without it.
add_compile_options(-g)
add_link_options(-g)

# Links `target` as a Cortex-M3 image with `script` (which includes sections.ld):
# no start files, so no sbrk heap and no C library start-up; a map beside it.
function(tarvik_arm_image target script)
  set_target_properties(${target} PROPERTIES SUFFIX .elf LINK_DEPENDS "${script};${STARTUP_DIR}/sections.ld")
  target_link_options(${target} PRIVATE -nostartfiles -T${script} -L${STARTUP_DIR}
                      -Wl,-Map=$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map)
endfunction()

# --- the board image ----------------------------------------------------------------
add_executable(tarvik ${FIRMWARE_SOURCES} ${KERNEL_SOURCES})
target_include_directories(tarvik PRIVATE ${FIRMWARE_INCLUDES} ${KERNEL_INCLUDES})
tarvik_arm_image(tarvik ${STARTUP_DIR}/stm32f103.ld)
# Link-time optimisation: the image fits its flash budget with room to spare, and
# the small peripheral and kernel calls fold into their callers.
set_property(TARGET tarvik PROPERTY INTERPROCEDURAL_OPTIMIZATION TRUE)
add_custom_command(TARGET tarvik POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} -O ihex $<TARGET_FILE:tarvik> tarvik.hex
  COMMAND ${CMAKE_OBJCOPY} -O binary $<TARGET_FILE:tarvik> tarvik.bin
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  BYPRODUCTS tarvik.hex tarvik.bin tarvik.map
  VERBATIM)
# On every build, so that the budget is always in view and an image that does not
# fit fails every build, not only the one that linked it.
add_custom_target(tarvik_report ALL
  COMMAND ${CMAKE_COMMAND} -DELF=$<TARGET_FILE:tarvik> -DMAP=tarvik.map -DNM=${CMAKE_NM}
          -P ${CMAKE_SOURCE_DIR}/cmake/image_report.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS tarvik
  COMMENT "Memory budget of the board image"
  VERBATIM)

# --- images the link must refuse ------------------------------------------------------
# Each is linked only by its test, which expects the link to fail with the reason.
set(GUARD_DIR ${CMAKE_SOURCE_DIR}/tests/arm_image)
set(GUARD_COMMON ${STARTUP_DIR}/startup.cpp ${GUARD_DIR}/guard_vectors.cpp)
foreach(guard ram flash sbrk)
  add_executable(guard_${guard} EXCLUDE_FROM_ALL ${GUARD_COMMON} ${GUARD_DIR}/guard_${guard}.cpp)
  target_include_directories(guard_${guard} PRIVATE ${FIRMWARE_INCLUDES})
  tarvik_arm_image(guard_${guard} ${STARTUP_DIR}/stm32f103.ld)
endforeach()

# --- the kernel port test on QEMU -------------------------------------------------------
set(PORT_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/qemu)
file(GLOB PORT_TEST_SOURCES CONFIGURE_DEPENDS ${PORT_TEST_DIR}/*.cpp ${PORT_TEST_DIR}/*.S)
add_executable(kernel_port_test ${PORT_TEST_SOURCES} ${KERNEL_SOURCES} ${STARTUP_DIR}/startup.cpp)
# The unit's kernel configuration and core header, nothing else of the firmware.
target_include_directories(kernel_port_test PRIVATE ${PORT_TEST_DIR} ${CMAKE_SOURCE_DIR}/firmware
                           ${CMAKE_SOURCE_DIR}/firmware/platform ${CMAKE_SOURCE_DIR}/firmware/init ${KERNEL_INCLUDES})
tarvik_arm_image(kernel_port_test ${PORT_TEST_DIR}/mps2_an385.ld)

enable_testing()
foreach(guard ram flash sbrk)
  add_test(NAME image_refused_${guard}
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target guard_${guard})
  # One build at a time in this tree; the reason in the output is the verdict.
  set_tests_properties(image_refused_${guard} PROPERTIES RUN_SERIAL TRUE LABELS image)
endforeach()
set_tests_properties(image_refused_ram PROPERTIES
  PASS_REGULAR_EXPRESSION "less than 1 KiB of RAM left for the main stack")
set_tests_properties(image_refused_flash PROPERTIES PASS_REGULAR_EXPRESSION "region .FLASH. overflowed")
set_tests_properties(image_refused_sbrk PROPERTIES PASS_REGULAR_EXPRESSION "undefined reference to .?_sbrk")

find_program(QEMU_SYSTEM_ARM qemu-system-arm)
if(QEMU_SYSTEM_ARM)
  # -icount makes virtual time follow the instruction count: every run is the same.
  add_test(NAME kernel_port_qemu
           COMMAND ${QEMU_SYSTEM_ARM} -M mps2-an385 -nographic -serial stdio -monitor none
                   -semihosting-config enable=on,target=native -icount shift=5,align=off,sleep=off
                   -kernel $<TARGET_FILE:kernel_port_test>)
  set_tests_properties(kernel_port_qemu PROPERTIES TIMEOUT 120 LABELS qemu FAIL_REGULAR_EXPRESSION "not ok")
else()
  message(STATUS "qemu-system-arm not found: the kernel port test is not registered")
endif()
