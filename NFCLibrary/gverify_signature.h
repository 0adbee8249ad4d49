// Signer check of a plug-in file: the first signer of the file's embedded Authenticode
// signature must have the common name "Ravo Corporation" (ASCII letter case ignored). By default
// nothing else about the signature is validated; an administrator can ask for more with the
// registry value plugin_signature_policy (see SignaturePolicy).
//
// The path is checked and traced as wide characters (traces print it in UTF-8), never through a
// code page: a name the 8-bit code page cannot spell still names this file.
//
// The check reads the file through one handle that shares reading only: while the object holds
// it nobody can write, replace, rename or delete the file. A file that passes stays held until
// releaseFile() (or the object's end), so that the loader maps the very file that was checked.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

class gverify_signature {
public:
    // What a file must show besides the signer's name, strictest last. Each includes the ones
    // before it.
    enum SignaturePolicy {
        // The signer's name only: a self-signed certificate with the right name passes, and so
        // does a signed file changed after signing.
        PolicyName,
        // Also the signature itself holds: the signer's signature over its authenticated
        // attributes verifies with the signer's certificate, their message digest is the digest of
        // the signed content, and the file digest that content names is the file's (refuses a
        // changed file, and a genuine signature moved onto another file).
        PolicyDigest,
        // Also the signing certificate is for code signing and chains to a root that this
        // machine trusts, at the time of a valid RFC 3161 time stamp on the signature when it
        // carries one (a certificate that expired after signing still counts), now otherwise.
        PolicyChain,
    };

    // The path in the system's 8-bit code page (converted when the check is made).
    explicit gverify_signature(const char *filePath, SignaturePolicy policy = PolicyName);
    explicit gverify_signature(const wchar_t *filePath, SignaturePolicy policy = PolicyName);
    virtual ~gverify_signature();

    // True when the file passes; the file is then held until releaseFile(). On false it is
    // released before the return. Each refusal is traced with its reason.
    bool verify_file();
    // Lets others open the file for writing again (after the module is mapped).
    void releaseFile();
    // The held file (INVALID_HANDLE_VALUE when none), for comparing it with what was mapped.
    HANDLE heldFile() const { return m_File; }
    // The path checked, in UTF-8, as the traces print it.
    const std::string &tracePath() const { return m_FilePath; }

    // The policy a plugin_signature_policy text asks for: "name" (or nothing), "digest" or
    // "chain", ASCII letter case and surrounding blanks ignored. Anything else is taken as the
    // strictest, and known is set to false.
    static SignaturePolicy parsePolicy(const char *text, bool *known);
    static const char *policyName(SignaturePolicy policy);
    // A path as traces print it: UTF-8 (empty when it holds no valid UTF-16).
    static std::string utf8Path(const std::wstring &path);

    static const char *const ExpectedSigner;

private:
    bool check_signer(const wchar_t *widePath);
    bool query_signature(const wchar_t *widePath, HCERTSTORE *store, HCRYPTMSG *message);
    bool check_signer_name(PCCERT_CONTEXT pCertContext);
    bool check_digest(const wchar_t *widePath);
    bool check_signature(HCRYPTMSG message, PCCERT_CONTEXT certificate, const CMSG_SIGNER_INFO *signer,
                         const wchar_t *widePath);
    bool check_file_digest(const char *algorithm, const std::vector<BYTE> &expected);
    bool check_usage(PCCERT_CONTEXT certificate, const char *usage, std::string &named);
    bool check_code_signing_usage(PCCERT_CONTEXT certificate);
    bool check_chain(PCCERT_CONTEXT certificate, HCERTSTORE signatureStore, const CMSG_SIGNER_INFO *signer);
    bool build_trusted_chain(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, const char *usage,
                             const FILETIME *when, DWORD &chainStatus, DWORD &policyError);
    bool time_stamp(const CMSG_SIGNER_INFO *signer, PCCERT_CONTEXT certificate, FILETIME &when);
    bool check_time_stamp_token(HCRYPTMSG token, const CMSG_SIGNER_INFO *signer, PCCERT_CONTEXT certificate,
                                FILETIME &when);
    void time_stamp_not_used(const char *reason);

    std::string m_FilePath;     // UTF-8 for traces (the 8-bit text as given until converted)
    std::wstring m_WidePath;
    bool m_NarrowPath;          // constructed from 8-bit text: m_WidePath is made by verify_file
    SignaturePolicy m_Policy;
    HANDLE m_File;
};
