# PC/SC reader: the portable core's native tests and the seed corpora of its fuzz targets run
# through the targets' checks. Included by host/CMakeLists.txt, which defines KORVAT_SOURCE_DIR,
# GoogleTest and the sanitizer flags.
foreach(name pcsc_atr_tests pcsc_data_objects_tests pcsc_profile_tests pcsc_reader_tests
             pcsc_target_record_tests)
  add_executable(${name} ${KORVAT_SOURCE_DIR}/tests/native/${name}.cpp)
  target_link_libraries(${name} PRIVATE korvat_pcsc gtest_main)
  target_include_directories(${name} PRIVATE ${KORVAT_SOURCE_DIR}/tests/support)
  gtest_discover_tests(${name})
endforeach()

foreach(name fuzz_pcsc_atr fuzz_pcsc_data_objects)
  add_executable(${name}_corpus ${KORVAT_SOURCE_DIR}/fuzz/${name}.cpp ${KORVAT_SOURCE_DIR}/tests/native/fuzz_corpus_main.cpp)
  target_include_directories(${name}_corpus PRIVATE ${KORVAT_SOURCE_DIR}/fuzz)
  target_link_libraries(${name}_corpus PRIVATE korvat_pcsc)
  add_test(NAME ${name}_corpus COMMAND ${name}_corpus ${KORVAT_SOURCE_DIR}/fuzz/corpus/${name})
endforeach()

# The PC/SC session (tests/pcsc/pcsc_session.sh) with a stand-in root: its exit trap under `set -e`,
# and a root another session has started left alone.
add_test(NAME pcsc_session_stops_its_root_only
         COMMAND bash ${KORVAT_SOURCE_DIR}/tests/pcsc/pcsc_session_stop_test.sh ${KORVAT_SOURCE_DIR})
