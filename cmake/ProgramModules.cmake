# The parts of the program that map libraries of their own (Qt Gui, Qt DBus, the X libraries)
# and are loaded on first use (platform/loadable_module.h).
#
# tvn_program_module(MODULE <file target> LINKED <target> SOURCES <file>... LIBRARIES <lib>...
#                    ROOTS <folder>... LINKED_SOURCE <file> LINKED_LIBRARIES <lib>...)
# compiles SOURCES once, as position-independent code (<LINKED>_objects), for two uses:
#   - MODULE, the module <MODULE>.so beside the program, which links LIBRARIES and nothing of
#     ours: the rest it takes from the program, which exports its symbols (the top
#     CMakeLists.txt);
#   - LINKED, an object library for the programs that link the code in instead (the tests, the
#     fuzz harnesses): its LINKED_SOURCE registers the code at start.
function(tvn_program_module)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "MODULE;LINKED;LINKED_SOURCE"
                          "SOURCES;LIBRARIES;ROOTS;LINKED_LIBRARIES")
    set(objects ${arg_LINKED}_objects)
    add_library(${objects} OBJECT ${arg_SOURCES})
    set_target_properties(${objects} PROPERTIES POSITION_INDEPENDENT_CODE ON AUTOMOC OFF)
    target_link_libraries(${objects} PUBLIC ${arg_LIBRARIES})
    tvn_include_roots(${objects} ${arg_ROOTS})

    add_library(${arg_MODULE} MODULE $<TARGET_OBJECTS:${objects}>)
    target_link_libraries(${arg_MODULE} PRIVATE ${arg_LIBRARIES})
    set_target_properties(${arg_MODULE} PROPERTIES PREFIX "" AUTOMOC OFF
                          LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

    add_library(${arg_LINKED} OBJECT ${arg_LINKED_SOURCE})
    target_sources(${arg_LINKED} INTERFACE $<TARGET_OBJECTS:${objects}>)
    target_link_libraries(${arg_LINKED} PUBLIC ${arg_LINKED_LIBRARIES} ${arg_LIBRARIES})
    set_target_properties(${arg_LINKED} PROPERTIES AUTOMOC OFF)
    tvn_include_roots(${arg_LINKED} ${arg_ROOTS})
endfunction()
