# After each build of the board image: the memory budget, and the checks that the
# image fits and that nothing in it draws on the C library's sbrk heap.
# Called with -DELF=... -DMAP=... -DNM=... (the ELF's symbols come from the linker script).
execute_process(COMMAND ${NM} -S -C ${ELF} OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "cannot read the symbols of ${ELF}")
endif()

function(refuse reason)
  message(FATAL_ERROR "${ELF}: ${reason}")
endfunction()

function(symbol name out)
  if(NOT symbols MATCHES "(^|\n)([0-9a-f]+) [A-Za-z] ${name}(\n|$)")
    refuse("the linker script defines no ${name}")
  endif()
  math(EXPR value "0x${CMAKE_MATCH_2}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

symbol(_flash_origin flash_origin)
symbol(_flash_length flash_length)
symbol(_flash_used flash_used)
symbol(_ram_origin ram_origin)
symbol(_ram_length ram_length)
symbol(_edata edata)
symbol(_sbss sbss)
symbol(_ebss ebss)
symbol(_estack estack)
symbol(_main_stack_min stack_min)

math(EXPR data_bytes "${edata} - ${ram_origin}")
math(EXPR bss_bytes "${ebss} - ${sbss}")
math(EXPR ram_used "${ebss} - ${ram_origin}")
math(EXPR stack_left "${estack} - ${ebss}")
set(heap_bytes 0)
if(symbols MATCHES "\n[0-9a-f]+ ([0-9a-f]+) [bB] \\(anonymous namespace\\)::heap\n")
  math(EXPR heap_bytes "0x${CMAKE_MATCH_1}")
endif()
math(EXPR other_ram "${ram_used} - ${heap_bytes}")

function(kib bytes out)
  math(EXPR whole "${bytes} * 1000 / 1024")
  math(EXPR int "${whole} / 1000")
  math(EXPR frac "(${whole} % 1000) / 100")
  set(${out} "${int}.${frac} KiB" PARENT_SCOPE)
endfunction()
kib(${flash_used} flash_kib)
kib(${ram_used} ram_kib)
math(EXPR flash_total_kib "${flash_length} / 1024")
math(EXPR ram_total_kib "${ram_length} / 1024")

message("Board image ${ELF}")
message("  flash       ${flash_used} of ${flash_length} bytes (${flash_kib} of ${flash_total_kib} KiB), "
        "initialised data included")
message("  static RAM  ${ram_used} of ${ram_length} bytes (${ram_kib} of ${ram_total_kib} KiB): "
        "kernel heap ${heap_bytes}, other data and bss ${other_ram} "
        "(initialised ${data_bytes}, zeroed ${bss_bytes})")
message("  main stack  ${stack_left} bytes left for the main stack and interrupt handlers "
        "(at least ${stack_min})")

if(flash_used GREATER flash_length)
  refuse("image does not fit: ${flash_used} bytes of flash used, ${flash_length} available")
endif()
if(stack_left LESS stack_min)
  refuse("image does not fit: ${stack_left} bytes of RAM left for the main stack, ${stack_min} needed")
endif()

# The kernel heap is the only heap: the C library's allocator and its sbrk must
# not be linked in.
if(symbols MATCHES "(^|\n)[0-9a-f ]+ [A-Za-z] _sbrk(_r)?\n")
  refuse("the image contains the C library's sbrk: something draws on its heap")
endif()
file(READ ${MAP} map)
if(map MATCHES "mallocr\\.o")
  refuse("the C library's allocator is linked in; allocation must reach the kernel heap")
endif()
