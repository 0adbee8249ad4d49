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

# korvat_dated_certificate(<id> <subject> <issuer id or SELF> <profile> <start> <end>): a
# certificate (also in DER form, <id>.der) and key for <id>, subject <subject> ("/CN=..."), valid from <start> to <end>
# (YYYYMMDDHHMMSSZ, in the past if need be), issued by the certificate authority <issuer id> or
# self-signed (SELF). <profile> is authority, codeSigning or timeStamping (critical, as a
# time-stamp authority's must be). openssl ca dates certificates; each has its own database.
function(korvat_dated_certificate id subject issuer profile start end)
  set(key ${KORVAT_CERT_DIR}/${id}.key)
  set(cert ${KORVAT_CERT_DIR}/${id}.pem)
  set(request ${KORVAT_CERT_DIR}/${id}.csr)
  set(database ${KORVAT_CERT_DIR}/${id}.ca)
  set(config ${database}/ca.cnf)
  if(profile STREQUAL "authority")
    set(extensions "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
  elseif(profile STREQUAL "timeStamping")
    set(extensions "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n")
  else()
    set(extensions "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=${profile}\n")
  endif()
  string(MD5 serial "${id}")
  string(SUBSTRING "${serial}" 0 12 serial)
  file(MAKE_DIRECTORY ${database})
  file(WRITE ${database}/serial.first "${serial}\n")
  file(WRITE ${config} "[ca]\ndefault_ca = dated\n[dated]\ndatabase = ${database}/index.txt\n"
       "new_certs_dir = ${database}\nserial = ${database}/serial\ndefault_md = sha256\npolicy = any\n"
       "unique_subject = no\ncopy_extensions = none\n[any]\ncommonName = optional\n"
       "organizationName = optional\n[profile]\nsubjectKeyIdentifier = hash\n${extensions}")
  if(issuer STREQUAL "SELF")
    set(signing -selfsign -keyfile ${key})
    set(issuer_files)
  else()
    set(signing -cert ${KORVAT_CERT_DIR}/${issuer}.pem -keyfile ${KORVAT_CERT_DIR}/${issuer}.key)
    set(issuer_files ${KORVAT_CERT_DIR}/${issuer}.pem ${KORVAT_CERT_DIR}/${issuer}.key)
  endif()
  add_custom_command(
    OUTPUT ${key} ${cert} ${KORVAT_CERT_DIR}/${id}.der
    COMMAND ${CMAKE_COMMAND} -E rm -f ${database}/index.txt ${database}/index.txt.attr
    COMMAND ${CMAKE_COMMAND} -E touch ${database}/index.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${database}/serial.first ${database}/serial
    COMMAND ${OPENSSL_PROGRAM} req -utf8 -new -newkey rsa:2048 -nodes -keyout ${key} -out ${request} -subj "${subject}"
    COMMAND ${OPENSSL_PROGRAM} ca -batch -utf8 -notext -config ${config} ${signing} -in ${request} -out ${cert}
            -startdate ${start} -enddate ${end} -extensions profile
    COMMAND ${OPENSSL_PROGRAM} x509 -in ${cert} -outform der -out ${KORVAT_CERT_DIR}/${id}.der
    DEPENDS ${issuer_files} ${config}
    COMMENT "Making certificate ${id} (${subject}), ${start} to ${end}"
    VERBATIM)
  add_custom_target(korvat_cert_${id} DEPENDS ${key} ${cert})
endfunction()

# korvat_root_certificate(<id> <common name>): a certificate authority <id>, whose certificate is
# also written in DER form (<id>.der) for adding to a trusted store. Valid from 2019 on, so that
# signatures time-stamped in the past chain to it.
function(korvat_root_certificate id common_name)
  korvat_dated_certificate(${id} "/CN=${common_name}" SELF authority 20190101000000Z 20450101000000Z)
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

# korvat_sign_plugin(<target> <dll target or file> <output file> <signer id>
#                    [TIME_STAMP <time-stamp authority id> <unix time>]): signs the DLL into
# output, with an RFC 3161 time stamp made by the authority for the time given when asked.
function(korvat_sign_plugin target dll_target output signer)
  cmake_parse_arguments(ARG "" "" "TIME_STAMP" ${ARGN})
  set(key ${KORVAT_CERT_DIR}/${signer}.key)
  set(cert ${KORVAT_CERT_DIR}/${signer}.pem)
  get_filename_component(output_dir ${output} DIRECTORY)
  if(TARGET ${dll_target})
    set(input $<TARGET_FILE:${dll_target}>)
  else()
    set(input ${dll_target})
  endif()
  set(stamp)
  set(stamp_files)
  if(ARG_TIME_STAMP)
    list(GET ARG_TIME_STAMP 0 authority)
    list(GET ARG_TIME_STAMP 1 time)
    set(stamp -TSA-certs ${KORVAT_CERT_DIR}/${authority}.pem -TSA-key ${KORVAT_CERT_DIR}/${authority}.key
              -TSA-time ${time})
    set(stamp_files ${KORVAT_CERT_DIR}/${authority}.pem ${KORVAT_CERT_DIR}/${authority}.key)
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
    COMMAND ${OSSLSIGNCODE_PROGRAM} sign -certs ${cert} -key ${key} -n "Korvat NFC reader plug-in" ${stamp}
            -in ${input} -out ${output}
    DEPENDS ${dll_target} ${key} ${cert} ${stamp_files}
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
# A maker's code-signing certificate that expired at the start of 2021, and time-stamp
# authorities under the trusted and the untrusted root, for signatures time-stamped in 2020.
korvat_dated_certificate(maker_expired "/CN=Ravo Corporation" test_root codeSigning 20200101000000Z 20210101000000Z)
korvat_dated_certificate(test_tsa "/CN=Korvat Test Time Stamps" test_root timeStamping 20190101000000Z 20450101000000Z)
korvat_dated_certificate(untrusted_tsa "/CN=Korvat Untrusted Time Stamps" untrusted_root timeStamping
                         20190101000000Z 20450101000000Z)
