// Signer check of a plug-in file: the first signer of the file's embedded Authenticode
// signature must be "Ravo Corporation" (ASCII letter case ignored). By default nothing else about
// the signature is validated; an administrator can ask for more with the registry value
// plugin_signature_policy (see SignaturePolicy).
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
        // Also the signing certificate chains to a root that this machine trusts.
        PolicyChain,
    };

    explicit gverify_signature(const char *filePath, SignaturePolicy policy = PolicyName);
    virtual ~gverify_signature();

    bool verify_file();

    // The policy a plugin_signature_policy text asks for: "name" (or nothing), "digest" or
    // "chain", ASCII letter case and surrounding blanks ignored. Anything else is taken as the
    // strictest, and known is set to false.
    static SignaturePolicy parsePolicy(const char *text, bool *known);
    static const char *policyName(SignaturePolicy policy);

    static const char ExpectedSigner[];

private:
    bool check_signer_name(PCCERT_CONTEXT pCertContext);
    bool check_digest(const wchar_t *widePath);
    bool check_chain(PCCERT_CONTEXT certificate, HCERTSTORE signatureStore);

    std::string m_FilePath;
    SignaturePolicy m_Policy;
};
