# Shared settings for every target of the project.

# A fuzzing build instruments everything for coverage and runs it under the
# address and undefined-behaviour sanitizers; the fuzz programs alone link
# the fuzzer's own main (fuzz/CMakeLists.txt).
if(TARN_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TARN_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  if(TARN_SANITIZE MATCHES "thread")
    message(FATAL_ERROR "TARN_BUILD_FUZZ runs under address,undefined: it cannot be combined with TARN_SANITIZE=thread")
  endif()
  set(TARN_SANITIZE "address,undefined")
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Sanitizers apply to everything that is compiled, so that instrumented and
# uninstrumented code never meet in one binary.
if(TARN_SANITIZE)
  string(REPLACE ";" "," _tarn_san "${TARN_SANITIZE}")
  add_compile_options(-fsanitize=${_tarn_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tarn_san})
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_compile_options("-fsanitize-ignorelist=${CMAKE_CURRENT_LIST_DIR}/sanitizer-ignorelist.txt")
  endif()
endif()

# Project code is held to a warning-free standard; third-party headers come in
# as system includes and are not.
function(tarn_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  # RapidJSON's member iterators compare through operators that C++20 also
  # finds reversed; clang warns about that at every comparison in our code.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wno-ambiguous-reversed-operator)
  endif()
  # g++ 12 at -O3 reports std::string's own copies inside operator+ as
  # overlapping (a false -Wrestrict from the standard library's inlined
  # code, fixed in g++ 13); it would fail the Release build of plain string
  # concatenations.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
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

# A plug-in module: a shared object named
# PLUGIN_<name>_DLL_<Debug|Release>_<bits>.so, the name the plugin manager
# searches for, built from SOURCES with the static libraries of DEPS linked
# into it. The target is PLUGIN_<name>. The module keeps everything hidden
# except the entry points it marks for export (Plugins/ModuleExport.h); the
# symbols of the static libraries stay local to it too, so that it binds its
# own copies of the engine-wide instances, never the host's by accident.
# OUTPUT_DIRECTORY defaults to ${CMAKE_BINARY_DIR}/Plugins.
function(tarn_add_plugin_module name)
  cmake_parse_arguments(ARG "" "OUTPUT_DIRECTORY" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_OUTPUT_DIRECTORY)
    set(ARG_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/Plugins")
  endif()
  math(EXPR _bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(_target PLUGIN_${name})
  add_library(${_target} MODULE ${ARG_SOURCES})
  target_link_libraries(${_target} PRIVATE ${ARG_DEPS} ${CMAKE_DL_LIBS})
  # The configuration word follows NDEBUG, which the optimised configurations
  # define.
  set(_config "$<IF:$<CONFIG:Release,RelWithDebInfo,MinSizeRel>,Release,Debug>")
  set_target_properties(${_target} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    OUTPUT_NAME "PLUGIN_${name}_DLL_${_config}_${_bits}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # (the empty expression keeps multi-configuration generators from adding
    # a folder per configuration)
    LIBRARY_OUTPUT_DIRECTORY "${ARG_OUTPUT_DIRECTORY}$<0:>")
  target_link_options(${_target} PRIVATE "LINKER:--exclude-libs,ALL")
  # Everything a module uses is linked into it; sanitizer runtimes come from
  # the host program, so only an uninstrumented module can be held to that.
  if(NOT TARN_SANITIZE)
    target_link_options(${_target} PRIVATE "LINKER:--no-undefined")
  endif()
  tarn_target_defaults(${_target})
endfunction()
