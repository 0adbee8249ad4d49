// Signer check of a plug-in file: the first signer of the file's embedded Authenticode
// signature must have the common name "Ravo Corporation" (ASCII letter case ignored). By default
// nothing else about the signature is validated; an administrator can ask for more with the
// registry value plugin_signature_policy (see SignaturePolicy).
//
// The check reads the file through one handle that shares reading only: while the object holds
// it nobody can write, replace, rename or delete the file. A file that passes stays held until
// releaseFile() (or the object's end), so that the loader maps the very file that was checked.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

class gverify_signature {
public:
    // What a file must show besides the signer's name, strictest last. Each includes the ones
    // before it.
    enum SignaturePolicy {
        // The signer's name only: a self-signed certificate with the right name passes, and so
        // does a signed file changed after signing.
        PolicyName,
        // Also the signature's digest matches the file's contents (refuses a changed file).
        PolicyDigest,
        // Also the signing certificate is for code signing and chains to a root that this
        // machine trusts.
        PolicyChain,
    };

    explicit gverify_signature(const char *filePath, SignaturePolicy policy = PolicyName);
    virtual ~gverify_signature();

    // True when the file passes; the file is then held until releaseFile(). On false it is
    // released before the return. Each refusal is traced with its reason.
    bool verify_file();
    // Lets others open the file for writing again (after the module is mapped).
    void releaseFile();

    // The policy a plugin_signature_policy text asks for: "name" (or nothing), "digest" or
    // "chain", ASCII letter case and surrounding blanks ignored. Anything else is taken as the
    // strictest, and known is set to false.
    static SignaturePolicy parsePolicy(const char *text, bool *known);
    static const char *policyName(SignaturePolicy policy);

    static const char *const ExpectedSigner;

private:
    bool check_signer(const wchar_t *widePath);
    bool query_signature(const wchar_t *widePath, HCERTSTORE *store, HCRYPTMSG *message);
    bool check_signer_name(PCCERT_CONTEXT pCertContext);
    bool check_digest(const wchar_t *widePath);
    bool check_code_signing_usage(PCCERT_CONTEXT certificate);
    bool check_chain(PCCERT_CONTEXT certificate, HCERTSTORE signatureStore);

    std::string m_FilePath;
    SignaturePolicy m_Policy;
    HANDLE m_File;
};
