# The fuzz targets, one line each. Two folders read this list: fuzz/, which builds
# every target as a libFuzzer binary (configured with -DFUZZ=ON and clang, `make fuzz`),
# and tests/, which builds every target as a replay test of its seeds and regression
# inputs for the normal suite. Each first defines
#   fuzz_executable(target name sources...)
# and this file adds the sources and libraries of each target.
find_package(Threads REQUIRED)
set(FUZZ_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})

# A target over the runtime alone.
function(runtime_fuzz_target name source)
  fuzz_executable(fuzz_${name} ${name} ${FUZZ_SOURCE_DIR}/${source})
  target_link_libraries(fuzz_${name} PRIVATE rt_core Threads::Threads)
endfunction()

# A program's whole dialogue (program_fuzzer.cc), built from the sources and libraries
# of the program's own target with its main renamed program_main. body is the program
# body: the program identifier followed by "_". Left out while the program is not in
# the tree.
function(program_fuzz_target program body)
  if(NOT TARGET ${program})
    return()
  endif()
  get_target_property(source_dir ${program} SOURCE_DIR)
  get_target_property(sources ${program} SOURCES)
  set(absolute_sources)
  foreach(source ${sources})
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
    list(APPEND absolute_sources ${source})
  endforeach()
  foreach(property LINK_LIBRARIES INCLUDE_DIRECTORIES COMPILE_DEFINITIONS)
    get_target_property(${property} ${program} ${property})
    if(NOT ${property})
      set(${property})
    endif()
  endforeach()

  add_library(fuzz_${program}_sources OBJECT ${absolute_sources})
  target_compile_definitions(fuzz_${program}_sources PRIVATE main=program_main ${COMPILE_DEFINITIONS})
  target_include_directories(fuzz_${program}_sources PRIVATE ${INCLUDE_DIRECTORIES})
  target_link_libraries(fuzz_${program}_sources PRIVATE ${LINK_LIBRARIES})

  fuzz_executable(fuzz_${program} ${program} ${FUZZ_SOURCE_DIR}/program_fuzzer.cc
                  $<TARGET_OBJECTS:fuzz_${program}_sources>)
  target_compile_definitions(fuzz_${program} PRIVATE PROGRAM_BODY=${body} PROGRAM_NAME="${program}")
  target_link_libraries(fuzz_${program} PRIVATE ${LINK_LIBRARIES} rt_core)
endfunction()

# The file layer on an article file made of the input bytes (file_layer_fuzzer.cc).
# Besides its committed seeds it starts from article files that the layer itself
# writes at build time (file_layer_seeds.cc) into BUILD/fuzz-seeds/file_layer, made
# again whenever the layer changes, so that they keep to its format.
function(file_layer_fuzz_target)
  find_package(SQLite3 REQUIRED)
  fuzz_executable(fuzz_file_layer file_layer ${FUZZ_SOURCE_DIR}/file_layer_fuzzer.cc)
  target_link_libraries(fuzz_file_layer PRIVATE rt_file SQLite::SQLite3 Threads::Threads)

  set(seeds ${CMAKE_BINARY_DIR}/fuzz-seeds/file_layer)
  add_executable(file_layer_seeds ${FUZZ_SOURCE_DIR}/file_layer_seeds.cc)
  target_include_directories(file_layer_seeds PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(file_layer_seeds PRIVATE rt_file SQLite::SQLite3)
  add_custom_command(OUTPUT ${seeds}/article-three
                     COMMAND file_layer_seeds ${seeds}
                     DEPENDS file_layer_seeds
                     COMMENT "Writing the article files that seed fuzz_file_layer")
  add_custom_target(file_layer_seed_files DEPENDS ${seeds}/article-three)
  add_dependencies(fuzz_file_layer file_layer_seed_files)
endfunction()

# The CSV of fleet import and export (csv_fuzzer.cc), over the operations' library.
function(csv_fuzz_target)
  fuzz_executable(fuzz_csv csv ${FUZZ_SOURCE_DIR}/csv_fuzzer.cc)
  target_link_libraries(fuzz_csv PRIVATE operations)
endfunction()

runtime_fuzz_target(line_reader line_reader_fuzzer.cc)
runtime_fuzz_target(numeric_accept numeric_accept_fuzzer.cc)

# The character-set library alone.
fuzz_executable(fuzz_charset charset ${FUZZ_SOURCE_DIR}/charset_fuzzer.cc)
target_link_libraries(fuzz_charset PRIVATE charset)
file_layer_fuzz_target()
csv_fuzz_target()

# deliverable, program body
program_fuzz_target(autolog autolog_)
program_fuzz_target(autolog2 autolog2_)
program_fuzz_target(mirror1 mirror_)
program_fuzz_target(sieve sieve_)
program_fuzz_target(quadra0 quadra0_)
program_fuzz_target(quadra1 quadra0_)
program_fuzz_target(factor factor_)
program_fuzz_target(impair factor_)
program_fuzz_target(civil civil_)
