# PN532 reader: the portable host-link code natively, the PN532 emulator, their tests, the
# libnfc cross-check and the frame fuzz target. Included by host/CMakeLists.txt, which defines
# KORVAT_SOURCE_DIR, GoogleTest and the sanitizer flags.
# The emulator's cards are the simulated reader's tag models (portable/sim); with no scenario
# file it plays the simulator's built-in scenario.
set(KORVAT_SIM_DIR ${KORVAT_SOURCE_DIR}/plugins/sim_reader)
file(READ ${KORVAT_SIM_DIR}/default.scenario KORVAT_SIM_DEFAULT_SCENARIO)
file(WRITE ${CMAKE_BINARY_DIR}/pn532_sim/sim_default_scenario.inc.new
     "const char BuiltInScenario[] = R\"SCENARIO(${KORVAT_SIM_DEFAULT_SCENARIO})SCENARIO\";\n")
configure_file(${CMAKE_BINARY_DIR}/pn532_sim/sim_default_scenario.inc.new
               ${CMAKE_BINARY_DIR}/pn532_sim/sim_default_scenario.inc COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KORVAT_SIM_DIR}/default.scenario)

# The emulator: its chip model as a library (the tests drive it directly too) and the program.
set(KORVAT_PN532_EMULATOR_DIR ${KORVAT_SOURCE_DIR}/tools/pn532_emulator)
add_library(korvat_pn532_emulator_core STATIC ${KORVAT_PN532_EMULATOR_DIR}/Pn532Emulator.cpp)
target_include_directories(korvat_pn532_emulator_core PUBLIC ${KORVAT_PN532_EMULATOR_DIR})
target_link_libraries(korvat_pn532_emulator_core PUBLIC korvat_pn532 korvat_portable)
add_executable(pn532_emulator ${KORVAT_PN532_EMULATOR_DIR}/pn532_emulator.cpp)
target_include_directories(pn532_emulator PRIVATE ${CMAKE_BINARY_DIR}/pn532_sim)
target_link_libraries(pn532_emulator PRIVATE korvat_pn532_emulator_core)

# Native tests.
add_library(korvat_pn532_test_support STATIC ${KORVAT_SOURCE_DIR}/tests/native/Pn532TestSupport.cpp)
target_include_directories(korvat_pn532_test_support PUBLIC ${KORVAT_SOURCE_DIR}/tests/native)
target_link_libraries(korvat_pn532_test_support PUBLIC korvat_pn532 gtest)
target_compile_definitions(korvat_pn532_test_support PUBLIC
  KORVAT_PN532_EMULATOR="$<TARGET_FILE:pn532_emulator>")

foreach(name pn532_frame_tests pn532_targets_tests pn532_emulator_tests pn532_link_tests pn532_libnfc_tests
             reader_status_mailbox_tests reader_port_list_tests)
  add_executable(${name} ${KORVAT_SOURCE_DIR}/tests/native/${name}.cpp)
  target_link_libraries(${name} PRIVATE korvat_pn532_test_support korvat_pn532_emulator_core gtest_main)
  add_dependencies(${name} pn532_emulator)
endforeach()
gtest_discover_tests(pn532_frame_tests)
gtest_discover_tests(pn532_targets_tests)
gtest_discover_tests(pn532_emulator_tests)
gtest_discover_tests(reader_status_mailbox_tests)
gtest_discover_tests(reader_port_list_tests)
gtest_discover_tests(pn532_link_tests PROPERTIES TIMEOUT 120)
# nfc-list, nfc-poll and nfc-mfultralight (Debian's libnfc-bin and libnfc-examples) against the emulator. Without them the test fails:
# it is the proof that the emulator speaks the chip's protocol as an independent client expects.
find_program(KORVAT_NFC_LIST nfc-list)
find_program(KORVAT_NFC_POLL nfc-poll)
find_program(KORVAT_NFC_MFULTRALIGHT nfc-mfultralight)
target_compile_definitions(pn532_libnfc_tests PRIVATE
  KORVAT_NFC_LIST="${KORVAT_NFC_LIST}" KORVAT_NFC_POLL="${KORVAT_NFC_POLL}"
  KORVAT_NFC_MFULTRALIGHT="${KORVAT_NFC_MFULTRALIGHT}")
gtest_discover_tests(pn532_libnfc_tests PROPERTIES TIMEOUT 120 LABELS libnfc)

# Link benchmark: the host-link code's own cost per exchange over the emulator's turnaround.
add_executable(pn532_link_benchmark ${KORVAT_SOURCE_DIR}/tests/native/pn532_link_benchmark.cpp)
target_link_libraries(pn532_link_benchmark PRIVATE korvat_pn532_test_support)
add_dependencies(pn532_link_benchmark pn532_emulator)

# The frame fuzz target (fuzz/fuzz_pn532_frame.cpp) is built with the others by the fuzz build
# and run by scripts/host-test.sh.
# The seed corpus also runs through the fuzz target's checks in the sanitizer build (gcc).
add_executable(pn532_frame_fuzz_corpus ${KORVAT_SOURCE_DIR}/fuzz/fuzz_pn532_frame.cpp
                                       ${KORVAT_SOURCE_DIR}/tests/native/fuzz_corpus_main.cpp)
target_link_libraries(pn532_frame_fuzz_corpus PRIVATE korvat_pn532)
add_test(NAME pn532_frame_fuzz_corpus
         COMMAND pn532_frame_fuzz_corpus ${KORVAT_SOURCE_DIR}/fuzz/corpus/fuzz_pn532_frame)
