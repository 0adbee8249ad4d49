#include "gverify_signature.h"

#include <mssip.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "NfcLogProxy.h"
#include "NfcSignerName.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\gverify_signature.cpp";

static_assert(sizeof(wchar_t) == sizeof(char16_t), "certificate names are compared as UTF-16");

const char *const gverify_signature::ExpectedSigner = NfcSignerName::Expected;

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
    : m_FilePath(filePath != nullptr ? filePath : ""), m_Policy(policy), m_File(INVALID_HANDLE_VALUE)
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

gverify_signature::~gverify_signature()
{
    releaseFile();
}

void gverify_signature::releaseFile()
{
    if (m_File != INVALID_HANDLE_VALUE) {
        if (!CloseHandle(m_File)) {
            NFC_LOG(0, "ASSERT! : CloseHandle() failed.\n");
        }
        m_File = INVALID_HANDLE_VALUE;
    }
}

bool gverify_signature::verify_file()
{
    releaseFile();
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
    // Reading shared, nothing else: from here until releaseFile() the file cannot be written,
    // replaced, renamed or deleted, and every check below reads it through this handle.
    m_File = CreateFileW(widePath.data(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_File == INVALID_HANDLE_VALUE) {
        NFC_LOG(0, "ASSERT! : CreateFile() failed. GetLastError() = %lu\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    const bool result = check_signer(widePath.data());
    if (!result) {
        releaseFile();
    }
    return result;
}

// The embedded signature as the file's subject interface package finds it in the held file,
// opened as a PKCS #7 signed message with its own certificate store.
bool gverify_signature::query_signature(const wchar_t *widePath, HCERTSTORE *store, HCRYPTMSG *message)
{
    GUID subject = {};
    if (!CryptSIPRetrieveSubjectGuid(widePath, m_File, &subject)) {
        NFC_LOG(0, "ASSERT! : CryptSIPRetrieveSubjectGuid() failed.\n");
        return false;
    }
    SIP_DISPATCH_INFO sip = {};
    sip.cbSize = sizeof(sip);
    if (!CryptSIPLoad(&subject, 0, &sip) || sip.pfGet == nullptr) {
        NFC_LOG(0, "ASSERT! : CryptSIPLoad() failed.\n");
        return false;
    }
    SIP_SUBJECTINFO info = {};
    info.cbSize = sizeof(info);
    info.pgSubjectType = &subject;
    info.hFile = m_File;
    info.pwsFileName = widePath;
    DWORD encoding = 0, size = 0;
    if (!sip.pfGet(&info, &encoding, 0, &size, nullptr) || size == 0) {
        NFC_LOG(0, "ASSERT! : CryptSIPGetSignedDataMsg() failed.\n");
        return false;
    }
    BYTE *signedData = static_cast<BYTE *>(std::malloc(size));
    if (signedData == nullptr) {
        NFC_LOG(0, "ASSERT! : malloc() failed.\n");
        return false;
    }
    bool queried = false;
    if (!sip.pfGet(&info, &encoding, 0, &size, signedData)) {
        NFC_LOG(0, "ASSERT! : CryptSIPGetSignedDataMsg() failed.\n");
    } else {
        CERT_BLOB blob = {size, signedData};
        DWORD contentType = 0, formatType = 0;
        queried = CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                                   CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store,
                                   message, nullptr) != FALSE;
        if (!queried) {
            NFC_LOG(0, "ASSERT! : CryptQueryObject() failed.\n");
        }
    }
    std::free(signedData);
    return queried;
}

bool gverify_signature::check_signer(const wchar_t *widePath)
{
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!query_signature(widePath, &store, &message)) {
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
                             (m_Policy < PolicyDigest || check_digest(widePath)) &&
                             (m_Policy < PolicyChain ||
                              (check_code_signing_usage(certificate) && check_chain(certificate, store)));
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

// The whole common name, in the certificate's own characters. Only a CN counts: the simple
// display name would fall back to O= or OU= for a certificate without one.
bool gverify_signature::check_signer_name(PCCERT_CONTEXT pCertContext)
{
    if (pCertContext == nullptr) {
        NFC_LOG(0, "ASSERT! : pCertContext is NULL.\n");
        return false;
    }
    void *commonName = const_cast<char *>(szOID_COMMON_NAME);
    const DWORD length = CertGetNameStringW(pCertContext, CERT_NAME_ATTR_TYPE, 0, commonName, nullptr, 0);
    if (length == 0) {
        NFC_LOG(0, "ASSERT! : CertGetNameString() failed.\n");
        return false;
    }
    wchar_t *buffer = static_cast<wchar_t *>(std::malloc(length * sizeof(wchar_t)));
    if (buffer == nullptr) {
        NFC_LOG(0, "ASSERT! : malloc() failed.\n");
        return false;
    }
    const DWORD written = CertGetNameStringW(pCertContext, CERT_NAME_ATTR_TYPE, 0, commonName, buffer, length);
    if (written == 0) {
        NFC_LOG(0, "ASSERT! : CertGetNameString() failed.\n");
        std::free(buffer);
        return false;
    }
    // The count includes the terminator.
    const std::u16string name(reinterpret_cast<const char16_t *>(buffer), written - 1);
    std::free(buffer);
    if (!NfcSignerName::isExpected(name)) {
        NFC_LOG(0, "WARNING! : Signer is not %s(%s). common name = \"%s\"\n", ExpectedSigner, m_FilePath.c_str(),
                NfcSignerName::printable(name).c_str());
        return false;
    }
    return true;
}

// The Authenticode digest of the file against the one its signature carries. WTD_HASH_ONLY_FLAG
// keeps WinVerifyTrust to that comparison (no trust decision: that is the chain policy's part).
bool gverify_signature::check_digest(const wchar_t *widePath)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = widePath;
    file.hFile = m_File;  // the digest of the held file, not of whatever the path names now
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

// A certificate from a trusted authority proves nothing about code unless it was issued for
// signing code: the signer's certificate must name code signing among its extended key usages.
// A certificate without the extension (good for any use, by the general rule) is refused too.
bool gverify_signature::check_code_signing_usage(PCCERT_CONTEXT certificate)
{
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size)) {
        if (GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND)) {
            NFC_LOG(0, "WARNING! : Signer certificate is not for code signing(%s). extended key usage = none\n",
                    m_FilePath.c_str());
        } else {
            NFC_LOG(0, "ASSERT! : CertGetEnhancedKeyUsage() failed.\n");
        }
        return false;
    }
    CERT_ENHKEY_USAGE *usage = static_cast<CERT_ENHKEY_USAGE *>(std::malloc(size));
    if (usage == nullptr) {
        NFC_LOG(0, "ASSERT! : malloc() failed.\n");
        return false;
    }
    bool codeSigning = false;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
        NFC_LOG(0, "ASSERT! : CertGetEnhancedKeyUsage() failed.\n");
    } else {
        std::string named;
        for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
            const std::string identifier = usage->rgpszUsageIdentifier[i];
            codeSigning = codeSigning || identifier == szOID_PKIX_KP_CODE_SIGNING;
            named += (i == 0 ? "" : ",") + identifier;
        }
        if (!codeSigning) {
            NFC_LOG(0, "WARNING! : Signer certificate is not for code signing(%s). extended key usage = %s\n",
                    m_FilePath.c_str(), named.empty() ? "none" : named.c_str());
        }
    }
    std::free(usage);
    return codeSigning;
}

// The signing certificate must chain to a root in this machine's trusted root store, valid for
// code signing all the way up (an authority restricted to other usages refuses). The
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
    char *codeSigning[] = {const_cast<char *>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
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
