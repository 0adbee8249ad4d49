// Signer check of a plug-in file: the first signer of the file's embedded Authenticode
// signature must be "Ravo Corporation" (ASCII letter case ignored). Nothing else about the
// signature is validated here.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

class gverify_signature {
public:
    explicit gverify_signature(const char *filePath);
    virtual ~gverify_signature();

    bool verify_file();

    static const char ExpectedSigner[];

private:
    bool check_signer_name(PCCERT_CONTEXT pCertContext);

    std::string m_FilePath;
};
