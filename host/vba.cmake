# The VBA module (bindings/vba/KorvatNfc.bas) has no runtime here: a script checks its Declares
# against the .def files and the C prototypes, its constants against the headers and its record
# offsets against those this compiler gives for the headers' packed structures; and, planting
# one fault at a time in a copy, that each of those checks finds its fault.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME vba_module_agrees_with_the_headers
         COMMAND ${Python3_EXECUTABLE} ${KORVAT_SOURCE_DIR}/tests/vba/check_vba_module.py ${KORVAT_SOURCE_DIR}
                 ${CMAKE_C_COMPILER})
add_test(NAME vba_module_check_finds_planted_faults
         COMMAND ${Python3_EXECUTABLE} ${KORVAT_SOURCE_DIR}/tests/vba/check_vba_module.py ${KORVAT_SOURCE_DIR}
                 ${CMAKE_C_COMPILER} --self-test)
