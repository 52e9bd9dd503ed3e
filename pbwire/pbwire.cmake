# pbwire_generate(): runs our message generator over .proto files at build
# time.
#
# pbwire_generate(SOURCES_VAR <var> OUTPUT_DIR <dir> PROTOS <files...>
#                 [IMPORT_DIRS <dirs...>] [DEPENDS <files...>] [TEST_HELPERS])
#   Writes <module>.h/.cpp (or, with TEST_HELPERS, <module>_test_helpers.h/.cpp)
#   for every proto into OUTPUT_DIR and stores the generated .cpp files in
#   <var>. IMPORT_DIRS are searched for imported files; DEPENDS lists further
#   files (imported .proto files) whose change regenerates the code.
#   Relative PROTOS are taken from the calling folder.
#
# The generator is a plain Python script run with the system interpreter;
# no outside Protocol Buffers code generator is involved.
set(PBWIRE_GENERATOR ${CMAKE_CURRENT_LIST_DIR}/generator/pbwire_gen.py
    CACHE INTERNAL "pbwire message generator")
if(EXISTS /usr/bin/python3)
  set(PBWIRE_PYTHON /usr/bin/python3 CACHE INTERNAL "Interpreter of the pbwire generator")
else()
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(PBWIRE_PYTHON ${Python3_EXECUTABLE} CACHE INTERNAL "Interpreter of the pbwire generator")
endif()

function(pbwire_generate)
  cmake_parse_arguments(G "TEST_HELPERS" "SOURCES_VAR;OUTPUT_DIR" "PROTOS;IMPORT_DIRS;DEPENDS"
                        ${ARGN})
  if(NOT G_SOURCES_VAR OR NOT G_OUTPUT_DIR OR NOT G_PROTOS)
    message(FATAL_ERROR "pbwire_generate needs SOURCES_VAR, OUTPUT_DIR and PROTOS")
  endif()
  set(include_args "")
  foreach(dir ${G_IMPORT_DIRS})
    list(APPEND include_args -I ${dir})
  endforeach()
  set(mode_args "")
  set(suffix "")
  if(G_TEST_HELPERS)
    set(mode_args --test-helpers)
    set(suffix _test_helpers)
  endif()
  set(abs_protos "")
  foreach(proto ${G_PROTOS})
    get_filename_component(abs ${proto} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND abs_protos ${abs})
  endforeach()
  set(sources "")
  foreach(abs ${abs_protos})
    get_filename_component(module ${abs} NAME_WE)
    set(out_h ${G_OUTPUT_DIR}/${module}${suffix}.h)
    set(out_cpp ${G_OUTPUT_DIR}/${module}${suffix}.cpp)
    get_filename_component(name ${abs} NAME)
    add_custom_command(
      OUTPUT ${out_h} ${out_cpp}
      COMMAND ${PBWIRE_PYTHON} ${PBWIRE_GENERATOR} ${include_args} -o ${G_OUTPUT_DIR}
              ${mode_args} ${abs}
      DEPENDS ${abs} ${abs_protos} ${G_DEPENDS} ${PBWIRE_GENERATOR}
      COMMENT "pbwire: generating ${module}${suffix} from ${name}"
      VERBATIM)
    list(APPEND sources ${out_cpp})
  endforeach()
  set(${G_SOURCES_VAR} ${sources} PARENT_SCOPE)
endfunction()
