# Warning, sanitizer and fuzzer flags shared by every target of the project.
# zm4_target_flags(<target>) applies them; third-party code never sees them.

add_library(zm4_flags INTERFACE)
target_compile_options(zm4_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  $<$<BOOL:${ZM4_WERROR}>:-Werror>)

if(ZM4_SANITIZE STREQUAL "address")
  set(zm4_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(ZM4_SANITIZE STREQUAL "thread")
  set(zm4_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ZM4_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZM4_SANITIZE must be '', 'address' or 'thread', not '${ZM4_SANITIZE}'")
endif()
if(zm4_san)
  # Sanitizers apply to the whole build, so that every object agrees on them.
  add_compile_options(${zm4_san})
  add_link_options(${zm4_san})
endif()

if(ZM4_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZM4_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  # A fuzzer stops at the first undefined behaviour, as at the first bad access.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
endif()

function(zm4_target_flags target)
  target_link_libraries(${target} PRIVATE zm4_flags)
endfunction()
