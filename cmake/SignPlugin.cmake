# Throwaway code-signing certificates and Authenticode signing of plug-ins, made at build time.
# No private key is kept in the source tree.
set(KORVAT_CERT_DIR ${CMAKE_BINARY_DIR}/certs)

# korvat_signing_certificate(<id> <common name>): certificate and key for signer <id>.
function(korvat_signing_certificate id common_name)
  set(key ${KORVAT_CERT_DIR}/${id}.key)
  set(cert ${KORVAT_CERT_DIR}/${id}.pem)
  add_custom_command(
    OUTPUT ${key} ${cert}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVAT_CERT_DIR}
    COMMAND ${OPENSSL_PROGRAM} req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ${key} -out ${cert}
            -subj "/CN=${common_name}"
    COMMENT "Making signing certificate ${id} (${common_name})"
    VERBATIM)
  add_custom_target(korvat_cert_${id} DEPENDS ${key} ${cert})
endfunction()

# korvat_sign_plugin(<target> <dll target or file> <output file> <signer id>): signs the DLL
# into output.
function(korvat_sign_plugin target dll_target output signer)
  set(key ${KORVAT_CERT_DIR}/${signer}.key)
  set(cert ${KORVAT_CERT_DIR}/${signer}.pem)
  get_filename_component(output_dir ${output} DIRECTORY)
  if(TARGET ${dll_target})
    set(input $<TARGET_FILE:${dll_target}>)
  else()
    set(input ${dll_target})
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
    COMMAND ${OSSLSIGNCODE_PROGRAM} sign -certs ${cert} -key ${key} -n "Korvat NFC reader plug-in"
            -in ${input} -out ${output}
    DEPENDS ${dll_target} ${key} ${cert}
    COMMENT "Signing ${output} as ${signer}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

korvat_signing_certificate(maker "Ravo Corporation")
korvat_signing_certificate(maker_upper "RAVO CORPORATION")
korvat_signing_certificate(other "Ravo Corporation Ltd")
