# Installation layout of the SDK (cmake --install build/x86 and cmake --install build/x64 into one
# prefix; what both install is the same file, so the headers and share/ are there once):
#   x86/bin/, x64/bin/            korvat_nfc_library_for_vb.dll, korvat_nfc_tags.dll, korvat_nfc_demo.exe and
#                                 korvat_nfc_plugin_check.exe (with korvat_nfc_lifetime_helper.dll)
#                                 of that architecture
#   x86/bin/                      also korvat_nfc_stdcall.dll, the stdcall companion of 32-bit VBA and VB6
#                                 (declared by name in KorvatNfc.bas: no import library)
#   x86/bin/plugins/, x64/...     sim_reader.gp (signed), the simulated reader of that architecture
#   x86/bin/pn532_plugins/, ...   pn532_reader.gp (signed) and its header of error pairs
#   x86/bin/pcsc_plugins/, ...    pcsc_reader.gp (signed) and its header of error pairs
#   x86/lib/, x64/lib/            libkorvat_nfc_library_for_vb.dll.a, libkorvat_nfc_tags.dll.a (import
#                                 libraries), korvat_nfc_library.def, korvat_nfc_tags.def
#   include/                      korvat_nfc.h (applications), korvat_nfc_tags.h (the tag library),
#                                 korvat_nfc_plugin.h (plug-in authors)
#   share/korvat_nfc/             korvat_nfc_simulator.reg, sim_reader.scenario (example), README.md
#   share/korvat_nfc/vba/         KorvatNfc.bas, the module of VBA and VB6
#   share/korvat_nfc/examples/    the simulator's and the demo's sources (the worked examples) and
#                                 the portable code they use
set(KORVAT_INSTALL_BIN ${KORVAT_ARCH}/bin)
set(KORVAT_INSTALL_LIB ${KORVAT_ARCH}/lib)
install(TARGETS korvat_nfc_library_for_vb korvat_nfc_tags
        RUNTIME DESTINATION ${KORVAT_INSTALL_BIN}
        ARCHIVE DESTINATION ${KORVAT_INSTALL_LIB})
# The export list with its ordinals, for toolchains that make their own import library
# (lib /def:korvat_nfc_library.def /machine:x86, or /machine:x64).
install(FILES ${PROJECT_SOURCE_DIR}/NFCLibrary/korvat_nfc_library.def ${PROJECT_SOURCE_DIR}/TagLibrary/korvat_nfc_tags.def
        DESTINATION ${KORVAT_INSTALL_LIB})
install(FILES ${PROJECT_SOURCE_DIR}/include/korvat_nfc.h ${PROJECT_SOURCE_DIR}/include/korvat_nfc_tags.h
              ${PROJECT_SOURCE_DIR}/include/korvat_nfc_plugin.h
        DESTINATION include)

if(KORVAT_ARCH STREQUAL x86)
  install(TARGETS korvat_nfc_stdcall RUNTIME DESTINATION ${KORVAT_INSTALL_BIN})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/bindings/vba/KorvatNfc.bas DESTINATION share/korvat_nfc/vba)

install(TARGETS korvat_nfc_demo korvat_nfc_plugin_check RUNTIME DESTINATION ${KORVAT_INSTALL_BIN})
# The checker's lifetime steps load this DLL from the checker's own directory.
install(FILES $<TARGET_FILE:korvat_nfc_lifetime_helper> DESTINATION ${KORVAT_INSTALL_BIN})
# Its stand-in of the library, which counts a plug-in's calls back into the library.
install(FILES $<TARGET_FILE:korvat_nfc_callback_recorder> DESTINATION ${KORVAT_INSTALL_BIN}/plugin_check_recorder)
# The signed file, not the unsigned module it was made from: the library loads signed plug-ins only.
install(FILES ${KORVAT_SIM_READER_PLUGIN} DESTINATION ${KORVAT_INSTALL_BIN}/plugins)
# The PN532 reader in a directory of its own: point plugins_home_directory at it for a real reader.
install(FILES ${KORVAT_PN532_READER_PLUGIN} ${PROJECT_SOURCE_DIR}/plugins/pn532_reader/pn532_reader.h
              ${PROJECT_SOURCE_DIR}/portable/pn532/Pn532Limits.h ${PROJECT_SOURCE_DIR}/portable/pn532/Pn532ErrorCodes.h
        DESTINATION ${KORVAT_INSTALL_BIN}/pn532_plugins)
# The PC/SC reader likewise: point plugins_home_directory at pcsc_plugins for the PC/SC readers.
install(FILES ${KORVAT_PCSC_READER_PLUGIN} ${PROJECT_SOURCE_DIR}/plugins/pcsc_reader/pcsc_reader.h
              ${PROJECT_SOURCE_DIR}/portable/pcsc/PcscLimits.h ${PROJECT_SOURCE_DIR}/portable/pcsc/PcscErrorCodes.h
        DESTINATION ${KORVAT_INSTALL_BIN}/pcsc_plugins)

set(KORVAT_SIM_READER_SOURCE ${PROJECT_SOURCE_DIR}/plugins/sim_reader)
install(FILES ${KORVAT_SIM_READER_SOURCE}/korvat_nfc_simulator.reg ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION share/korvat_nfc)
# Copy it beside sim_reader.gp (or name it in sim_scenario_file) to replace the built-in scenario.
install(FILES ${KORVAT_SIM_READER_SOURCE}/default.scenario DESTINATION share/korvat_nfc RENAME sim_reader.scenario)
install(DIRECTORY ${KORVAT_SIM_READER_SOURCE}/ DESTINATION share/korvat_nfc/examples/sim_reader
        FILES_MATCHING PATTERN "*.h" PATTERN "*.cpp" PATTERN "*.scenario" PATTERN "CMakeLists.txt")
install(FILES ${PROJECT_SOURCE_DIR}/tools/demo/korvat_nfc_demo.cpp DESTINATION share/korvat_nfc/examples/demo)
# The portable code both examples build on: the simulator's scenario and tag models, the demo's
# tag readers and error names.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/portable/ DESTINATION share/korvat_nfc/examples/portable
        FILES_MATCHING PATTERN "*.h" PATTERN "*.cpp" PATTERN "CMakeLists.txt")
