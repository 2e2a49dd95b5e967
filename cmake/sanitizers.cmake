# QEL_SANITIZE=ON: the library, the program and every test binary built with the address and
# undefined-behaviour sanitizers; QEL_SANITIZE=thread: with ThreadSanitizer instead (the two
# cannot share a build). A report ends the process (no recovery), so a test that meets one fails
# instead of printing a warning nobody reads.
set(QEL_SANITIZE OFF CACHE STRING
  "Sanitizers: OFF, ON (AddressSanitizer and UndefinedBehaviorSanitizer) or thread")
set_property(CACHE QEL_SANITIZE PROPERTY STRINGS OFF ON thread)
if(QEL_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "QEL_SANITIZE is for the POSIX form only")
  endif()
  if(QEL_SANITIZE STREQUAL "thread")
    set(QEL_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  else()
    set(QEL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                            -fno-omit-frame-pointer)
  endif()
  add_compile_options(${QEL_SANITIZER_FLAGS})
  add_link_options(${QEL_SANITIZER_FLAGS})
endif()
