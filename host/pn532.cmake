# PN532 reader: the portable host-link code natively, the PN532 emulator, their tests, the
# libnfc cross-check and the frame fuzz target. Included by host/CMakeLists.txt, which defines
# KORVAT_SOURCE_ROOT, GoogleTest and the sanitizer flags.
add_subdirectory(${KORVAT_SOURCE_ROOT}/portable/pn532 ${CMAKE_BINARY_DIR}/portable/pn532)

# The simulated reader's tag models and scenario parser, shared with the emulator.
set(KORVAT_SIM_DIR ${KORVAT_SOURCE_ROOT}/plugins/sim_reader)
file(READ ${KORVAT_SIM_DIR}/default.scenario KORVAT_SIM_DEFAULT_SCENARIO)
file(WRITE ${CMAKE_BINARY_DIR}/pn532_sim/sim_default_scenario.inc.new
     "const char BuiltInScenario[] = R\"SCENARIO(${KORVAT_SIM_DEFAULT_SCENARIO})SCENARIO\";\n")
configure_file(${CMAKE_BINARY_DIR}/pn532_sim/sim_default_scenario.inc.new
               ${CMAKE_BINARY_DIR}/pn532_sim/sim_default_scenario.inc COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KORVAT_SIM_DIR}/default.scenario)
add_library(korvat_pn532_card_models STATIC
  ${KORVAT_SIM_DIR}/SimNdef.cpp
  ${KORVAT_SIM_DIR}/SimScenario.cpp
  ${KORVAT_SIM_DIR}/SimType3Tag.cpp
  ${KORVAT_SIM_DIR}/SimType4Tag.cpp)
target_include_directories(korvat_pn532_card_models PUBLIC ${KORVAT_SIM_DIR} PRIVATE ${CMAKE_BINARY_DIR}/pn532_sim)

# The emulator: its chip model as a library (the tests drive it directly too) and the program.
set(KORVAT_PN532_EMULATOR_DIR ${KORVAT_SOURCE_ROOT}/tools/pn532_emulator)
add_library(korvat_pn532_emulator_core STATIC ${KORVAT_PN532_EMULATOR_DIR}/Pn532Emulator.cpp)
target_include_directories(korvat_pn532_emulator_core PUBLIC ${KORVAT_PN532_EMULATOR_DIR})
target_link_libraries(korvat_pn532_emulator_core PUBLIC korvat_pn532 korvat_pn532_card_models)
add_executable(pn532_emulator ${KORVAT_PN532_EMULATOR_DIR}/pn532_emulator.cpp)
target_link_libraries(pn532_emulator PRIVATE korvat_pn532_emulator_core)

# Native tests.
add_library(korvat_pn532_test_support STATIC ${KORVAT_SOURCE_ROOT}/tests/native/Pn532TestSupport.cpp)
target_include_directories(korvat_pn532_test_support PUBLIC ${KORVAT_SOURCE_ROOT}/tests/native)
target_link_libraries(korvat_pn532_test_support PUBLIC korvat_pn532 gtest)
target_compile_definitions(korvat_pn532_test_support PUBLIC
  KORVAT_PN532_EMULATOR="$<TARGET_FILE:pn532_emulator>")

foreach(name pn532_frame_tests pn532_targets_tests pn532_emulator_tests pn532_link_tests pn532_libnfc_tests)
  add_executable(${name} ${KORVAT_SOURCE_ROOT}/tests/native/${name}.cpp)
  target_link_libraries(${name} PRIVATE korvat_pn532_test_support korvat_pn532_emulator_core gtest_main)
  add_dependencies(${name} pn532_emulator)
endforeach()
gtest_discover_tests(pn532_frame_tests)
gtest_discover_tests(pn532_targets_tests)
gtest_discover_tests(pn532_emulator_tests)
gtest_discover_tests(pn532_link_tests PROPERTIES TIMEOUT 120)
# nfc-list and nfc-poll (Debian's libnfc-bin) against the emulator. Without them the test fails:
# it is the proof that the emulator speaks the chip's protocol as an independent client expects.
find_program(KORVAT_NFC_LIST nfc-list)
find_program(KORVAT_NFC_POLL nfc-poll)
target_compile_definitions(pn532_libnfc_tests PRIVATE
  KORVAT_NFC_LIST="${KORVAT_NFC_LIST}" KORVAT_NFC_POLL="${KORVAT_NFC_POLL}")
gtest_discover_tests(pn532_libnfc_tests PROPERTIES TIMEOUT 120 LABELS libnfc)

# Link benchmark: the host-link code's own cost per exchange over the emulator's turnaround.
add_executable(pn532_link_benchmark ${KORVAT_SOURCE_ROOT}/tests/native/pn532_link_benchmark.cpp)
target_link_libraries(pn532_link_benchmark PRIVATE korvat_pn532_test_support)
add_dependencies(pn532_link_benchmark pn532_emulator)

# Fuzz target: libFuzzer needs clang. The seed corpus holds the frames of the unit tests.
find_program(KORVAT_CLANGXX NAMES clang++-14 clang++)
set(KORVAT_PN532_FUZZ ${CMAKE_BINARY_DIR}/bin/pn532_frame_fuzz)
set(KORVAT_PN532_SOURCES Pn532Frame.cpp Pn532Targets.cpp Pn532Status.cpp)
list(TRANSFORM KORVAT_PN532_SOURCES PREPEND ${KORVAT_SOURCE_ROOT}/portable/pn532/)
if(KORVAT_CLANGXX)
  add_custom_command(
    OUTPUT ${KORVAT_PN532_FUZZ}
    COMMAND ${KORVAT_CLANGXX} -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -D__cdecl=
            -I${KORVAT_SOURCE_ROOT}/portable/pn532 -I${KORVAT_SOURCE_ROOT}/include
            -I${KORVAT_SOURCE_ROOT}/plugins/pn532_reader
            ${KORVAT_SOURCE_ROOT}/fuzz/pn532_frame_fuzz.cpp ${KORVAT_PN532_SOURCES} -o ${KORVAT_PN532_FUZZ}
    DEPENDS ${KORVAT_SOURCE_ROOT}/fuzz/pn532_frame_fuzz.cpp ${KORVAT_PN532_SOURCES}
    COMMENT "Building the PN532 frame fuzz target with libFuzzer"
    VERBATIM)
  add_custom_target(pn532_frame_fuzz ALL DEPENDS ${KORVAT_PN532_FUZZ})
  add_test(NAME pn532_frame_fuzz_short_run
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   sh -c "rm -rf \"$1\" && mkdir -p \"$1\" && \"$0\" -runs=30000 -max_len=600 -artifact_prefix=\"$1/\" \"$1\" \"$2\""
                   ${KORVAT_PN532_FUZZ} ${CMAKE_BINARY_DIR}/fuzz_scratch/pn532_frame
                   ${KORVAT_SOURCE_ROOT}/fuzz/corpus/pn532_frame_fuzz)
else()
  add_test(NAME pn532_frame_fuzz_short_run COMMAND sh -c "echo 'clang++ with libFuzzer not found'; exit 1")
endif()
# The seed corpus also runs through the fuzz target's checks in the sanitizer build (gcc).
add_executable(pn532_frame_fuzz_corpus ${KORVAT_SOURCE_ROOT}/fuzz/pn532_frame_fuzz.cpp
                                       ${KORVAT_SOURCE_ROOT}/tests/native/fuzz_corpus_main.cpp)
target_link_libraries(pn532_frame_fuzz_corpus PRIVATE korvat_pn532)
add_test(NAME pn532_frame_fuzz_corpus
         COMMAND pn532_frame_fuzz_corpus ${KORVAT_SOURCE_ROOT}/fuzz/corpus/pn532_frame_fuzz)
