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

# korvat_root_certificate(<id> <common name>): a certificate authority <id>, whose certificate is
# also written in DER form (<id>.der) for adding to a trusted store.
function(korvat_root_certificate id common_name)
  set(key ${KORVAT_CERT_DIR}/${id}.key)
  set(cert ${KORVAT_CERT_DIR}/${id}.pem)
  set(der ${KORVAT_CERT_DIR}/${id}.der)
  add_custom_command(
    OUTPUT ${key} ${cert} ${der}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVAT_CERT_DIR}
    COMMAND ${OPENSSL_PROGRAM} req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ${key} -out ${cert}
            -subj "/CN=${common_name}" -addext "basicConstraints=critical,CA:TRUE"
            -addext "keyUsage=critical,keyCertSign,cRLSign"
    COMMAND ${OPENSSL_PROGRAM} x509 -in ${cert} -outform der -out ${der}
    COMMENT "Making certificate authority ${id} (${common_name})"
    VERBATIM)
  add_custom_target(korvat_cert_${id} DEPENDS ${key} ${cert} ${der})
endfunction()

# korvat_issued_certificate(<id> <subject> <issuer id> <extended key usage>): a certificate and
# key for signer <id>, subject <subject> ("/CN=...", UTF-8), issued by the certificate authority
# <issuer id> (made with korvat_root_certificate) for <extended key usage> (an openssl
# extendedKeyUsage value such as codeSigning or serverAuth; NONE leaves the extension out).
function(korvat_issued_certificate id subject issuer usage)
  set(key ${KORVAT_CERT_DIR}/${id}.key)
  set(cert ${KORVAT_CERT_DIR}/${id}.pem)
  set(request ${KORVAT_CERT_DIR}/${id}.csr)
  set(extensions ${KORVAT_CERT_DIR}/${id}.ext)
  set(text "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n")
  if(NOT usage STREQUAL "NONE")
    string(APPEND text "extendedKeyUsage=${usage}\n")
  endif()
  file(WRITE ${extensions} "${text}")
  # A serial of its own for each certificate of an issuer.
  string(MD5 serial "${id}")
  string(SUBSTRING "${serial}" 0 12 serial)
  add_custom_command(
    OUTPUT ${key} ${cert}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVAT_CERT_DIR}
    COMMAND ${OPENSSL_PROGRAM} req -utf8 -newkey rsa:2048 -nodes -keyout ${key} -out ${request} -subj "${subject}"
    COMMAND ${OPENSSL_PROGRAM} x509 -req -in ${request} -CA ${KORVAT_CERT_DIR}/${issuer}.pem
            -CAkey ${KORVAT_CERT_DIR}/${issuer}.key -set_serial 0x${serial} -days 3650 -out ${cert}
            -extfile ${extensions}
    DEPENDS ${KORVAT_CERT_DIR}/${issuer}.pem ${KORVAT_CERT_DIR}/${issuer}.key ${extensions}
    COMMENT "Making signing certificate ${id} (${subject}), issued by ${issuer}"
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
# Throwaway certificate authorities and maker certificates they issued, for the chain policy: the
# tests add test_root to the trusted root store of their Wine prefix, never untrusted_root.
korvat_root_certificate(test_root "Korvat Test Root")
korvat_issued_certificate(maker_issued "/CN=Ravo Corporation" test_root codeSigning)
korvat_root_certificate(untrusted_root "Korvat Untrusted Root")
korvat_issued_certificate(maker_untrusted "/CN=Ravo Corporation" untrusted_root codeSigning)
# Issued by the trusted test root, yet no maker's code-signing certificate: for another usage, for
# every usage (no extension), the name in O= only, and a look-alike name in full-width letters.
korvat_issued_certificate(maker_server_auth "/CN=Ravo Corporation" test_root serverAuth)
korvat_issued_certificate(maker_no_usage "/CN=Ravo Corporation" test_root NONE)
korvat_issued_certificate(maker_org_only "/O=Ravo Corporation" test_root codeSigning)
korvat_issued_certificate(maker_full_width "/CN=Ｒａｖｏ Ｃｏｒｐｏｒａｔｉｏｎ" test_root codeSigning)
