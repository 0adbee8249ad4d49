#include "gverify_signature.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "NfcLogProxy.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\..\\..\\common\\src\\gverify_signature.cpp";

const char gverify_signature::ExpectedSigner[] = "Ravo Corporation";

namespace {

const size_t WidePathCapacity = 0x8100;

void lowerAscii(std::string &text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

const char *const PolicyNames[] = {"name", "digest", "chain"};

} // namespace

gverify_signature::gverify_signature(const char *filePath, SignaturePolicy policy)
    : m_FilePath(filePath != nullptr ? filePath : ""), m_Policy(policy)
{
}

gverify_signature::SignaturePolicy gverify_signature::parsePolicy(const char *text, bool *known)
{
    std::string value = text != nullptr ? text : "";
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    lowerAscii(value);
    *known = true;
    if (value.empty() || value == PolicyNames[PolicyName]) {
        return PolicyName;
    }
    if (value == PolicyNames[PolicyDigest]) {
        return PolicyDigest;
    }
    if (value == PolicyNames[PolicyChain]) {
        return PolicyChain;
    }
    *known = false;
    return PolicyChain;
}

const char *gverify_signature::policyName(SignaturePolicy policy)
{
    return PolicyNames[policy];
}

gverify_signature::~gverify_signature() = default;

bool gverify_signature::verify_file()
{
    // The 8-bit path is in the system code page; it must fit the wide buffer whole.
    std::vector<wchar_t> widePath(WidePathCapacity, L'\0');
    int converted = 0;
    if (m_FilePath.size() < WidePathCapacity) {
        converted = MultiByteToWideChar(CP_ACP, 0, m_FilePath.c_str(), -1, widePath.data(),
                                        static_cast<int>(WidePathCapacity));
    }
    if (converted == 0) {
        NFC_LOG(0, "ASSERT! : mbstowcs_s() failed.\n");
        return false;
    }

    DWORD encoding = 0, contentType = 0, formatType = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, widePath.data(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &store, &message,
                          nullptr)) {
        NFC_LOG(0, "ASSERT! : CryptQueryObject() failed.\n");
        return false;
    }

    bool result = false;
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        NFC_LOG(0, "ASSERT! : CryptMsgGetParam() failed.\n");
    } else {
        BYTE *buffer = static_cast<BYTE *>(std::malloc(size));
        if (buffer == nullptr) {
            NFC_LOG(0, "ASSERT! : malloc() failed.\n");
        } else {
            if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer, &size)) {
                NFC_LOG(0, "ASSERT! : CryptMsgGetParam() failed.\n");
            } else {
                const CMSG_SIGNER_INFO *signer = reinterpret_cast<const CMSG_SIGNER_INFO *>(buffer);
                CERT_INFO certInfo = {};
                certInfo.Issuer = signer->Issuer;
                certInfo.SerialNumber = signer->SerialNumber;
                PCCERT_CONTEXT certificate =
                    CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                               CERT_FIND_SUBJECT_CERT, &certInfo, nullptr);
                if (certificate == nullptr) {
                    NFC_LOG(0, "ASSERT! : CertFindCertificateInStore() failed.\n");
                } else {
                    result = check_signer_name(certificate) &&
                             (m_Policy < PolicyDigest || check_digest(widePath.data())) &&
                             (m_Policy < PolicyChain || check_chain(certificate, store));
                    if (!CertFreeCertificateContext(certificate)) {
                        NFC_LOG(0, "ASSERT! : CertFreeCertificateContext() failed.\n");
                    }
                }
            }
            std::free(buffer);
        }
    }

    if (store != nullptr && !CertCloseStore(store, 0)) {
        NFC_LOG(0, "ASSERT! : CertCloseStore() failed.\n");
    }
    if (message != nullptr && !CryptMsgClose(message)) {
        NFC_LOG(0, "ASSERT! : CryptMsgClose() failed.\n");
    }
    return result;
}

bool gverify_signature::check_signer_name(PCCERT_CONTEXT pCertContext)
{
    if (pCertContext == nullptr) {
        NFC_LOG(0, "ASSERT! : pCertContext is NULL.\n");
        return false;
    }
    DWORD length = CertGetNameStringA(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0) {
        NFC_LOG(0, "ASSERT! : CertGetNameString() failed.\n");
        return false;
    }
    char *buffer = static_cast<char *>(std::malloc(length));
    if (buffer == nullptr) {
        NFC_LOG(0, "ASSERT! : malloc() failed.\n");
        return false;
    }
    if (CertGetNameStringA(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, length) == 0) {
        NFC_LOG(0, "ASSERT! : CertGetNameString() failed.\n");
        std::free(buffer);
        return false;
    }
    buffer[length - 1] = '\0';
    std::string signer(buffer);
    std::string expected(ExpectedSigner);
    lowerAscii(signer);
    lowerAscii(expected);
    std::free(buffer);
    return signer == expected;
}

// The Authenticode digest of the file against the one its signature carries. WTD_HASH_ONLY_FLAG
// keeps WinVerifyTrust to that comparison (no trust decision: that is the chain policy's part).
bool gverify_signature::check_digest(const wchar_t *widePath)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = widePath;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_HASH_ONLY_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (status != ERROR_SUCCESS) {
        NFC_LOG(0, "WARNING! : Signature digest does not match the file(%s). WinVerifyTrust() = %08lXh\n",
                m_FilePath.c_str(), static_cast<unsigned long>(status));
        return false;
    }
    return true;
}

// The signing certificate must chain to a root in this machine's trusted root store. The
// certificates carried in the signature may complete the chain; nothing is fetched from the
// network, and revocation is not checked.
bool gverify_signature::check_chain(PCCERT_CONTEXT certificate, HCERTSTORE signatureStore)
{
    // An engine of its own reads the trusted root store as it is now, not as the process's
    // default engine saw it when first used (a root added since would not count).
    CERT_CHAIN_ENGINE_CONFIG configuration = {};
    configuration.cbSize = sizeof(configuration);
    HCERTCHAINENGINE engine = nullptr;
    if (!CertCreateCertificateChainEngine(&configuration, &engine)) {
        NFC_LOG(0, "ASSERT! : CertCreateCertificateChainEngine() failed.\n");
        return false;
    }
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const bool built = CertGetCertificateChain(engine, certificate, nullptr, signatureStore, &parameters,
                                               CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain) != FALSE;
    CertFreeCertificateChainEngine(engine);
    if (!built) {
        NFC_LOG(0, "ASSERT! : CertGetCertificateChain() failed.\n");
        return false;
    }
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof(policy);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    const bool checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &policy, &status) != FALSE;
    const DWORD chainStatus = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    if (!checked) {
        NFC_LOG(0, "ASSERT! : CertVerifyCertificateChainPolicy() failed.\n");
        return false;
    }
    // Revocation is not asked for; any other chain error (a partial chain, an untrusted root, a
    // certificate out of its validity) refuses, whatever the base policy said of it.
    const DWORD revocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    if (status.dwError != 0 || (chainStatus & ~revocationUnknown) != 0) {
        NFC_LOG(0, "WARNING! : Signer certificate is not trusted(%s). chain status = %08lXh, policy error = %08lXh\n",
                m_FilePath.c_str(), static_cast<unsigned long>(chainStatus), static_cast<unsigned long>(status.dwError));
        return false;
    }
    return true;
}
