#include "gverify_signature.h"

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

} // namespace

gverify_signature::gverify_signature(const char *filePath) : m_FilePath(filePath != nullptr ? filePath : "") {}

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
                    result = check_signer_name(certificate);
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
