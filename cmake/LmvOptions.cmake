# Warnings, sanitizers and the helpers every folder uses to place its outputs.

add_compile_options(-Wall -Wextra)
# Developers and CI treat warnings as errors; a user's or packager's build, with a compiler or
# build type we never tried, must not fail on a warning.
if(LMV_WERROR)
  add_compile_options(-Werror)
endif()
# Clang checks the locking annotations of foundation/kxThreadSafety.h (guarded members, required
# locks, the lock order); under LMV_WERROR a finding fails the build like any other warning.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()
# GCC 12 at -O3 takes string concatenation and vector copies inlined from its own standard
# library for overlapping or out-of-bounds accesses; the reports are false.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<CONFIG:Release>:-Wno-restrict> $<$<CONFIG:Release>:-Wno-array-bounds>
                      $<$<CONFIG:Release>:-Wno-stringop-overread>)
endif()

if(LMV_ASAN AND LMV_TSAN)
  message(FATAL_ERROR "LMV_ASAN and LMV_TSAN cannot be combined")
endif()
if(LMV_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(LMV_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# A shared object that the server loads at run time from bin/ (plug-ins, the pixel library).
# SUFFIX replaces the file extension (plug-ins are named "*.lvs").
function(lmv_stage_in_bin target)
  cmake_parse_arguments(ARG "" "SUFFIX" "" ${ARGN})
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${LMV_STAGE_BIN_DIR}
    PREFIX "")
  if(ARG_SUFFIX)
    set_target_properties(${target} PROPERTIES SUFFIX ${ARG_SUFFIX})
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION bin)
endfunction()

# A compressor module that the media layer finds in codecs/.
function(lmv_stage_in_codecs target)
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${LMV_STAGE_CODECS_DIR}
    PREFIX "")
  install(TARGETS ${target} LIBRARY DESTINATION codecs)
endfunction()
