#include "gverify_signature.h"

#include <mssip.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "NfcDerReader.h"
#include "NfcLogProxy.h"
#include "NfcSignerName.h"
#include "PeAuthenticode.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\gverify_signature.cpp";

static_assert(sizeof(wchar_t) == sizeof(char16_t), "certificate names are compared as UTF-16");

const char *const gverify_signature::ExpectedSigner = NfcSignerName::Expected;

namespace {

const size_t WidePathCapacity = 0x8100;

// A plug-in is a DLL of some megabytes; a file larger than this is not digested.
const unsigned long long MaximumDigestedFileSize = 1ull << 30;

void lowerAscii(std::string &text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

const char *const PolicyNames[] = {"name", "digest", "chain"};

// Closes a message or a store on every path, traced when closing fails.
struct MessageHolder {
    HCRYPTMSG handle = nullptr;
    ~MessageHolder()
    {
        if (handle != nullptr && !CryptMsgClose(handle)) {
            NFC_LOG(0, "ASSERT! : CryptMsgClose() failed.\n");
        }
    }
};
struct StoreHolder {
    HCERTSTORE handle = nullptr;
    ~StoreHolder()
    {
        if (handle != nullptr && !CertCloseStore(handle, 0)) {
            NFC_LOG(0, "ASSERT! : CertCloseStore() failed.\n");
        }
    }
};
struct CertificateHolder {
    PCCERT_CONTEXT context = nullptr;
    ~CertificateHolder()
    {
        if (context != nullptr && !CertFreeCertificateContext(context)) {
            NFC_LOG(0, "ASSERT! : CertFreeCertificateContext() failed.\n");
        }
    }
};

// One parameter of a message, whole. False (GetLastError set) when the message has none.
bool messageParameter(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE> &value)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size)) {
        return false;
    }
    value.assign(size, 0);
    if (size != 0 && !CryptMsgGetParam(message, type, index, value.data(), &size)) {
        return false;
    }
    value.resize(size);
    return true;
}

const CRYPT_ATTRIBUTE *findAttribute(const CRYPT_ATTRIBUTES &attributes, const char *oid)
{
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        if (attributes.rgAttr[i].pszObjId != nullptr && std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0) {
            return &attributes.rgAttr[i];
        }
    }
    return nullptr;
}

// The digest of the parts of data (taken in order) with the hash algorithm named by its OID.
// False when the algorithm is unknown here or hashing failed.
bool digestOfParts(const char *algorithm, const BYTE *data, const std::vector<PeByteRange> &parts,
                   std::vector<BYTE> &digest)
{
    const ALG_ID id = algorithm != nullptr ? CertOIDToAlgId(algorithm) : 0;
    if (id == 0 || GET_ALG_CLASS(id) != ALG_CLASS_HASH) {
        return false;
    }
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        return false;
    }
    bool done = false;
    HCRYPTHASH hash = 0;
    if (CryptCreateHash(provider, id, 0, 0, &hash)) {
        done = true;
        for (const PeByteRange &part : parts) {
            done = done && CryptHashData(hash, data + part.offset, static_cast<DWORD>(part.length), 0);
        }
        DWORD length = 0, lengthSize = sizeof(length);
        if (done && CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&length), &lengthSize, 0)) {
            digest.assign(length, 0);
            done = CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &length, 0) != FALSE;
        } else {
            done = false;
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return done;
}

bool digestOf(const char *algorithm, const BYTE *data, size_t size, std::vector<BYTE> &digest)
{
    return digestOfParts(algorithm, data, {PeByteRange{0, size}}, digest);
}

// The file digest the Authenticode content names: SpcIndirectDataContent ::= SEQUENCE { data,
// DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING } }.
bool indirectDataDigest(const std::vector<BYTE> &content, std::string &algorithm, std::vector<BYTE> &digest)
{
    NfcDer::Element outer, data, digestInfo, algorithmIdentifier, oid, value;
    if (!NfcDer::readElement(content.data(), content.size(), outer) || outer.tag != 0x30 ||
        !NfcDer::readElement(outer.content, outer.length, data) ||
        !NfcDer::readElement(data.content + data.length, outer.length - data.size, digestInfo) ||
        digestInfo.tag != 0x30 || !NfcDer::readElement(digestInfo.content, digestInfo.length, algorithmIdentifier) ||
        algorithmIdentifier.tag != 0x30 ||
        !NfcDer::readElement(algorithmIdentifier.content, algorithmIdentifier.length, oid) || oid.tag != 0x06 ||
        !NfcDer::readElement(algorithmIdentifier.content + algorithmIdentifier.length,
                             digestInfo.length - algorithmIdentifier.size, value) ||
        value.tag != 0x04) {
        return false;
    }
    algorithm = NfcDer::objectIdentifier(oid.content, oid.length);
    digest.assign(value.content, value.content + value.length);
    return !algorithm.empty();
}

// The value of a messageDigest authenticated attribute (an OCTET STRING).
bool messageDigestAttribute(const CMSG_SIGNER_INFO *signer, std::vector<BYTE> &digest)
{
    const CRYPT_ATTRIBUTE *attribute = findAttribute(signer->AuthAttrs, szOID_RSA_messageDigest);
    NfcDer::Element element;
    if (attribute == nullptr || attribute->cValue != 1 ||
        !NfcDer::readElement(attribute->rgValue[0].pbData, attribute->rgValue[0].cbData, element) ||
        element.size != attribute->rgValue[0].cbData || element.tag != 0x04) {
        return false;
    }
    digest.assign(element.content, element.content + element.length);
    return true;
}

std::string timeText(const SYSTEMTIME &t)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

} // namespace

std::string gverify_signature::utf8Path(const std::wstring &path)
{
    if (path.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.c_str(), static_cast<int>(path.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.c_str(), static_cast<int>(path.size()), &text[0], size,
                        nullptr, nullptr);
    return text;
}

gverify_signature::gverify_signature(const char *filePath, SignaturePolicy policy)
    : m_FilePath(filePath != nullptr ? filePath : ""), m_NarrowPath(true), m_Policy(policy),
      m_File(INVALID_HANDLE_VALUE)
{
}

gverify_signature::gverify_signature(const wchar_t *filePath, SignaturePolicy policy)
    : m_FilePath(utf8Path(filePath != nullptr ? filePath : L"")), m_WidePath(filePath != nullptr ? filePath : L""),
      m_NarrowPath(false), m_Policy(policy), m_File(INVALID_HANDLE_VALUE)
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
    if (m_NarrowPath) {
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
        m_WidePath = widePath.data();
        m_FilePath = utf8Path(m_WidePath);
        m_NarrowPath = false;
    }
    // Reading shared, nothing else: from here until releaseFile() the file cannot be written,
    // replaced, renamed or deleted, and every check below reads it through this handle.
    m_File = CreateFileW(m_WidePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_File == INVALID_HANDLE_VALUE) {
        NFC_LOG(0, "ASSERT! : CreateFile() failed. GetLastError() = %lu\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    const bool result = check_signer(m_WidePath.c_str());
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
                             (m_Policy < PolicyDigest || check_signature(message, certificate, signer, widePath)) &&
                             (m_Policy < PolicyChain || (check_code_signing_usage(certificate) &&
                                                         check_chain(certificate, store, signer)));
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

// The signature itself, link by link: the signer's signature over its authenticated attributes
// verifies with the signer's certificate; the message digest among those attributes is the
// digest of the signed content (the Authenticode indirect data); and the file digest that
// content names is the file's, as WinVerifyTrust finds it and as computed here. A genuine
// signature block moved onto another file with the file digest in its content edited fails at
// the second link, whatever the file digest says.
bool gverify_signature::check_signature(HCRYPTMSG message, PCCERT_CONTEXT certificate, const CMSG_SIGNER_INFO *signer,
                                        const wchar_t *widePath)
{
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify = {};
    verify.cbSize = sizeof(verify);
    verify.dwSignerIndex = 0;
    verify.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    verify.pvSigner = const_cast<CERT_CONTEXT *>(certificate);
    if (!CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &verify)) {
        NFC_LOG(0,
                "WARNING! : Signature does not verify with the signer's certificate(%s). "
                "CryptMsgControl() = %08lXh\n",
                m_FilePath.c_str(), static_cast<unsigned long>(GetLastError()));
        return false;
    }
    std::vector<BYTE> content;
    if (!messageParameter(message, CMSG_CONTENT_PARAM, 0, content)) {
        NFC_LOG(0, "ASSERT! : CryptMsgGetParam() failed.\n");
        return false;
    }
    // The signed content is the indirect data's SEQUENCE; PKCS #7 digests its contents octets.
    const uint8_t *octets = nullptr;
    size_t length = 0;
    std::vector<BYTE> expected, actual;
    if (!messageDigestAttribute(signer, expected)) {
        NFC_LOG(0, "WARNING! : Signature has no message digest(%s).\n", m_FilePath.c_str());
        return false;
    }
    if (!NfcDer::contentOf(content.data(), content.size(), octets, length) ||
        !digestOf(signer->HashAlgorithm.pszObjId, octets, length, actual)) {
        NFC_LOG(0, "WARNING! : Signed content cannot be digested(%s). hash algorithm = %s\n", m_FilePath.c_str(),
                signer->HashAlgorithm.pszObjId != nullptr ? signer->HashAlgorithm.pszObjId : "none");
        return false;
    }
    if (actual != expected) {
        NFC_LOG(0, "WARNING! : Signed content does not match the signature's message digest(%s).\n",
                m_FilePath.c_str());
        return false;
    }
    std::string fileAlgorithm;
    if (!indirectDataDigest(content, fileAlgorithm, expected)) {
        NFC_LOG(0, "WARNING! : Signed content names no file digest(%s).\n", m_FilePath.c_str());
        return false;
    }
    return check_digest(widePath) && check_file_digest(fileAlgorithm.c_str(), expected);
}

// The file's own Authenticode digest, computed here from the held file, against the one the
// signed content names (the same comparison WinVerifyTrust made, not left to it alone).
bool gverify_signature::check_file_digest(const char *algorithm, const std::vector<BYTE> &expected)
{
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(m_File, &size) || size.QuadPart <= 0 ||
        static_cast<unsigned long long>(size.QuadPart) > MaximumDigestedFileSize) {
        NFC_LOG(0, "WARNING! : Signature digest does not match the file(%s). file size = %lld\n", m_FilePath.c_str(),
                static_cast<long long>(size.QuadPart));
        return false;
    }
    HANDLE mapping = CreateFileMappingW(m_File, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        NFC_LOG(0, "ASSERT! : CreateFileMapping() failed. GetLastError() = %lu\n",
                static_cast<unsigned long>(GetLastError()));
        return false;
    }
    const BYTE *view = static_cast<const BYTE *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) {
        NFC_LOG(0, "ASSERT! : MapViewOfFile() failed. GetLastError() = %lu\n",
                static_cast<unsigned long>(GetLastError()));
        CloseHandle(mapping);
        return false;
    }
    std::vector<PeByteRange> ranges;
    std::vector<BYTE> actual;
    const char *problem = nullptr;
    if (!PeAuthenticode::digestRanges(view, static_cast<size_t>(size.QuadPart), ranges)) {
        problem = "no certificate table in the file's headers";
    } else if (!digestOfParts(algorithm, view, ranges, actual)) {
        problem = "the file cannot be digested";
    } else if (actual != expected) {
        problem = "the file's digest differs";
    }
    if (!UnmapViewOfFile(view)) {
        NFC_LOG(0, "ASSERT! : UnmapViewOfFile() failed.\n");
    }
    if (!CloseHandle(mapping)) {
        NFC_LOG(0, "ASSERT! : CloseHandle() failed.\n");
    }
    if (problem != nullptr) {
        NFC_LOG(0, "WARNING! : Signature digest does not match the file(%s). %s, algorithm %s\n", m_FilePath.c_str(),
                problem, algorithm);
        return false;
    }
    return true;
}

// The extended key usages the certificate names (comma-separated in named) and whether usage is
// among them. A certificate without the extension (good for any use, by the general rule)
// names none.
bool gverify_signature::check_usage(PCCERT_CONTEXT certificate, const char *usage, std::string &named)
{
    named.clear();
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size)) {
        if (GetLastError() != static_cast<DWORD>(CRYPT_E_NOT_FOUND)) {
            NFC_LOG(0, "ASSERT! : CertGetEnhancedKeyUsage() failed.\n");
        }
        return false;
    }
    CERT_ENHKEY_USAGE *usages = static_cast<CERT_ENHKEY_USAGE *>(std::malloc(size));
    if (usages == nullptr) {
        NFC_LOG(0, "ASSERT! : malloc() failed.\n");
        return false;
    }
    bool found = false;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usages, &size)) {
        NFC_LOG(0, "ASSERT! : CertGetEnhancedKeyUsage() failed.\n");
    } else {
        for (DWORD i = 0; i < usages->cUsageIdentifier; ++i) {
            const std::string identifier = usages->rgpszUsageIdentifier[i];
            found = found || identifier == usage;
            named += (i == 0 ? "" : ",") + identifier;
        }
    }
    std::free(usages);
    return found;
}

// A certificate from a trusted authority proves nothing about code unless it was issued for
// signing code: the signer's certificate must name code signing among its extended key usages.
bool gverify_signature::check_code_signing_usage(PCCERT_CONTEXT certificate)
{
    std::string named;
    if (check_usage(certificate, szOID_PKIX_KP_CODE_SIGNING, named)) {
        return true;
    }
    NFC_LOG(0, "WARNING! : Signer certificate is not for code signing(%s). extended key usage = %s\n",
            m_FilePath.c_str(), named.empty() ? "none" : named.c_str());
    return false;
}

// The signing certificate must chain to a root in this machine's trusted root store, valid for
// code signing all the way up, at the time a valid time stamp on the signature names, or now
// when there is none (or none that holds).
bool gverify_signature::check_chain(PCCERT_CONTEXT certificate, HCERTSTORE signatureStore,
                                    const CMSG_SIGNER_INFO *signer)
{
    FILETIME stamped = {};
    const bool hasTime = time_stamp(signer, certificate, stamped);
    DWORD chainStatus = 0, policyError = 0;
    if (!build_trusted_chain(certificate, signatureStore, szOID_PKIX_KP_CODE_SIGNING, hasTime ? &stamped : nullptr,
                             chainStatus, policyError)) {
        return false;
    }
    if (policyError != 0 || chainStatus != 0) {
        NFC_LOG(0, "WARNING! : Signer certificate is not trusted(%s). chain status = %08lXh, policy error = %08lXh\n",
                m_FilePath.c_str(), static_cast<unsigned long>(chainStatus), static_cast<unsigned long>(policyError));
        return false;
    }
    return true;
}

// Builds the certificate's chain for usage at when (now when null) and reports its errors, those
// of revocation left out. The certificates of extraStore may complete the chain; nothing is
// fetched from the network, and revocation is not checked. False only when the chain could not
// be built or judged at all (traced).
bool gverify_signature::build_trusted_chain(PCCERT_CONTEXT certificate, HCERTSTORE extraStore, const char *usage,
                                            const FILETIME *when, DWORD &chainStatus, DWORD &policyError)
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
    char *usages[] = {const_cast<char *>(usage)};
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    FILETIME at = when != nullptr ? *when : FILETIME();
    const bool built = CertGetCertificateChain(engine, certificate, when != nullptr ? &at : nullptr, extraStore,
                                               &parameters, CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr,
                                               &chain) != FALSE;
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
    // Revocation is not asked for; any other chain error (a partial chain, an untrusted root, a
    // certificate out of its validity) counts, whatever the base policy said of it.
    const DWORD revocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    chainStatus = chain->TrustStatus.dwErrorStatus & ~revocationUnknown;
    policyError = status.dwError;
    CertFreeCertificateChain(chain);
    if (!checked) {
        NFC_LOG(0, "ASSERT! : CertVerifyCertificateChainPolicy() failed.\n");
        return false;
    }
    return true;
}

void gverify_signature::time_stamp_not_used(const char *reason)
{
    NFC_LOG(0, "WARNING! : Time stamp not used(%s). %s\n", m_FilePath.c_str(), reason);
}

// The time of the signature's RFC 3161 time stamp, when it has one that holds: its token is
// signed by a time-stamp authority whose certificate is for time stamping and chains to a
// trusted root at that time, the token stamps this very signature value, and the time lies in
// the signer certificate's validity. A time stamp that does not hold is traced and ignored.
bool gverify_signature::time_stamp(const CMSG_SIGNER_INFO *signer, PCCERT_CONTEXT certificate, FILETIME &when)
{
    const CRYPT_ATTRIBUTE *attribute = findAttribute(signer->UnauthAttrs, szOID_RFC3161_counterSign);
    if (attribute == nullptr) {
        return false;
    }
    if (attribute->cValue != 1) {
        time_stamp_not_used("it does not hold exactly one token");
        return false;
    }
    MessageHolder token;
    token.handle = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    if (token.handle == nullptr) {
        NFC_LOG(0, "ASSERT! : CryptMsgOpenToDecode() failed.\n");
        return false;
    }
    if (!CryptMsgUpdate(token.handle, attribute->rgValue[0].pbData, attribute->rgValue[0].cbData, TRUE)) {
        time_stamp_not_used("its token is no signed message");
        return false;
    }
    return check_time_stamp_token(token.handle, signer, certificate, when);
}

bool gverify_signature::check_time_stamp_token(HCRYPTMSG token, const CMSG_SIGNER_INFO *signer,
                                               PCCERT_CONTEXT certificate, FILETIME &when)
{
    std::vector<BYTE> contentType, content, authorityInfo;
    const bool typed = messageParameter(token, CMSG_INNER_CONTENT_TYPE_PARAM, 0, contentType);
    // The content type is an OID string with its terminator.
    const std::string type(contentType.begin(), std::find(contentType.begin(), contentType.end(), 0));
    if (!typed || type != szOID_TIMESTAMP_TOKEN || !messageParameter(token, CMSG_CONTENT_PARAM, 0, content)) {
        time_stamp_not_used("its token holds no time-stamp information");
        return false;
    }
    // Some CryptoAPI versions hand the encapsulated content over still wrapped in its OCTET
    // STRING; the time-stamp information itself is a SEQUENCE.
    NfcDer::Element wrapped;
    if (!content.empty() && content[0] == 0x04 && NfcDer::readElement(content.data(), content.size(), wrapped) &&
        wrapped.size == content.size()) {
        content.assign(wrapped.content, wrapped.content + wrapped.length);
    }
    NfcDer::TimeStampInfo info;
    if (!NfcDer::parseTimeStampInfo(content.data(), content.size(), info)) {
        time_stamp_not_used("its time-stamp information cannot be read");
        return false;
    }
    if (!messageParameter(token, CMSG_SIGNER_INFO_PARAM, 0, authorityInfo)) {
        time_stamp_not_used("its token has no signer");
        return false;
    }
    const CMSG_SIGNER_INFO *authority = reinterpret_cast<const CMSG_SIGNER_INFO *>(authorityInfo.data());
    StoreHolder store;
    store.handle = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, token);
    if (store.handle == nullptr) {
        NFC_LOG(0, "ASSERT! : CertOpenStore() failed.\n");
        return false;
    }
    CERT_INFO wanted = {};
    wanted.Issuer = authority->Issuer;
    wanted.SerialNumber = authority->SerialNumber;
    CertificateHolder authorityCertificate;
    authorityCertificate.context = CertFindCertificateInStore(store.handle, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                              CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (authorityCertificate.context == nullptr) {
        time_stamp_not_used("its token does not carry its signer's certificate");
        return false;
    }
    // The token's own signature, and its message digest against the time-stamp information.
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify = {};
    verify.cbSize = sizeof(verify);
    verify.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    verify.pvSigner = const_cast<CERT_CONTEXT *>(authorityCertificate.context);
    std::vector<BYTE> expected, actual;
    if (!CryptMsgControl(token, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &verify) ||
        !messageDigestAttribute(authority, expected) ||
        !digestOf(authority->HashAlgorithm.pszObjId, content.data(), content.size(), actual) || actual != expected) {
        time_stamp_not_used("its token's signature does not verify");
        return false;
    }
    // What the token stamps must be this signature's value.
    if (!digestOf(info.imprintAlgorithm.c_str(), signer->EncryptedHash.pbData, signer->EncryptedHash.cbData, actual) ||
        actual != info.imprint) {
        time_stamp_not_used("it stamps another signature");
        return false;
    }
    SYSTEMTIME stamp = {};
    stamp.wYear = static_cast<WORD>(info.time.year);
    stamp.wMonth = static_cast<WORD>(info.time.month);
    stamp.wDay = static_cast<WORD>(info.time.day);
    stamp.wHour = static_cast<WORD>(info.time.hour);
    stamp.wMinute = static_cast<WORD>(info.time.minute);
    stamp.wSecond = static_cast<WORD>(info.time.second);
    stamp.wMilliseconds = static_cast<WORD>(info.time.milliseconds);
    if (!SystemTimeToFileTime(&stamp, &when)) {
        time_stamp_not_used("its time cannot be represented");
        return false;
    }
    const std::string time = timeText(stamp);
    if (CertVerifyTimeValidity(&when, certificate->pCertInfo) != 0) {
        time_stamp_not_used(("its time " + time + " is outside the signer certificate's validity").c_str());
        return false;
    }
    std::string named;
    if (!check_usage(authorityCertificate.context, szOID_PKIX_KP_TIMESTAMP_SIGNING, named)) {
        time_stamp_not_used(("its signer's certificate is not for time stamping, extended key usage = " +
                             (named.empty() ? std::string("none") : named)).c_str());
        return false;
    }
    DWORD chainStatus = 0, policyError = 0;
    if (!build_trusted_chain(authorityCertificate.context, store.handle, szOID_PKIX_KP_TIMESTAMP_SIGNING, &when,
                             chainStatus, policyError)) {
        return false;
    }
    if (chainStatus != 0 || policyError != 0) {
        char reason[128];
        std::snprintf(reason, sizeof(reason),
                      "its signer's certificate is not trusted at %s, chain status = %08lXh, policy error = %08lXh",
                      time.c_str(), static_cast<unsigned long>(chainStatus), static_cast<unsigned long>(policyError));
        time_stamp_not_used(reason);
        return false;
    }
    NFC_LOG(0, "INFORMATION! : Signature time-stamped at %s(%s).\n", time.c_str(), m_FilePath.c_str());
    return true;
}
