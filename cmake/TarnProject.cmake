# Shared settings for every target of the project.

# Sanitizers apply to everything that is compiled, so that instrumented and
# uninstrumented code never meet in one binary.
if(TARN_SANITIZE)
  string(REPLACE ";" "," _tarn_san "${TARN_SANITIZE}")
  add_compile_options(-fsanitize=${_tarn_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tarn_san})
endif()

# Project code is held to a warning-free standard; third-party headers come in
# as system includes and are not.
function(tarn_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  # Source locations in reports and in the memory manager's block headers are
  # printed relative to the repository root (src/libs/common/...).
  target_compile_options(${target} PRIVATE
    "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
endfunction()

# One static library per library folder. Sources are every .cpp below the
# folder; headers sit beside their sources and are included relative to the
# library folder ("System/Thread/Thread.h").
function(tarn_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  tarn_target_defaults(${name})
endfunction()

# A GoogleTest program made of every .cpp below the current folder, linked with
# the shared test support (test main with leak check, report capture).
function(tarn_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE tarn_test_support ${ARG_DEPS})
  tarn_target_defaults(${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120)
endfunction()
