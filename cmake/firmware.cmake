# The board image. Until its start-up code, linker script and Cortex-M3 context
# switch exist, the firmware and kernel sources are compiled for the chip as a
# library, which keeps them honest for the target.
file(GLOB_RECURSE FIRMWARE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/firmware/*.cpp)
file(GLOB KERNEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/kernel/*.cpp ${CMAKE_SOURCE_DIR}/kernel/port/*.cpp)
add_library(tarvik_firmware_arm STATIC ${FIRMWARE_SOURCES} ${KERNEL_SOURCES})
file(GLOB_RECURSE FIRMWARE_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/firmware/*.h)
set(FIRMWARE_INCLUDES)
foreach(header ${FIRMWARE_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  list(APPEND FIRMWARE_INCLUDES ${dir})
endforeach()
list(REMOVE_DUPLICATES FIRMWARE_INCLUDES)
target_include_directories(tarvik_firmware_arm PRIVATE ${FIRMWARE_INCLUDES} kernel kernel/include kernel/port)
