# QEL_SANITIZE=ON: the library, the program and every test binary built with the address and
# undefined-behaviour sanitizers. A report ends the process (no recovery), so a test that meets
# one fails instead of printing a warning nobody reads.
option(QEL_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QEL_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "QEL_SANITIZE is for the POSIX form only")
  endif()
  set(QEL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                          -fno-omit-frame-pointer)
  add_compile_options(${QEL_SANITIZER_FLAGS})
  add_link_options(${QEL_SANITIZER_FLAGS})
endif()
