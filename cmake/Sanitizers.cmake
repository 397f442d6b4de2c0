# VEXTRA_SANITIZE: a comma list handed to -fsanitize= for every target of the
# build (core, wire schema, tests, tools), e.g. "address,undefined" or "thread".
# A finding aborts the program, so a test run with one fails.
set(VEXTRA_SANITIZE "" CACHE STRING "Sanitizers for every target (address,undefined | thread); empty: none")
if(VEXTRA_SANITIZE)
  if(WIN32 OR MSVC)
    message(FATAL_ERROR "VEXTRA_SANITIZE is for the native Linux build")
  endif()
  add_compile_options(-fsanitize=${VEXTRA_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=${VEXTRA_SANITIZE} -fno-sanitize-recover=all)
  if(VEXTRA_SANITIZE MATCHES "thread")
    # The system's libprotobuf is built without ThreadSanitizer, and its headers
    # add members to map fields when __SANITIZE_THREAD__ is set: code built with
    # it would read the library's map fields at the wrong offsets. libstdc++
    # learns of the sanitizer through _GLIBCXX_TSAN instead.
    add_compile_options(-U__SANITIZE_THREAD__ -D_GLIBCXX_TSAN=1)
  endif()
  message(STATUS "sanitizers: ${VEXTRA_SANITIZE}")
endif()

# VEXTRA_FUZZ: every target carries libFuzzer's coverage hooks and fuzz/ builds
# the fuzz programs (clang only; scripts/run_fuzz.sh sets it up).
option(VEXTRA_FUZZ "Build the libFuzzer programs of fuzz/ (clang)" OFF)
if(VEXTRA_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
