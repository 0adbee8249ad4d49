// The signer check of plug-in files, called directly and through the loader, with the
// process-wide debug log on so that every message it writes can be compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "NfcDerReader.h"
#include "NfcLogProxy.h"
#include "NfcPluginLoader.h"
#include "TestSupport.h"
#include "gverify_signature.h"

using namespace korvat_test;

namespace {

// Messages of the debug log records written since `offset`, without stamps and line ends.
std::vector<std::string> messagesSince(const std::string &logPath, size_t offset)
{
    std::vector<std::string> messages;
    for (const DebugLogRecord &record : debugLogRecords(logPath, offset)) {
        messages.push_back(record.message);
    }
    return messages;
}

// The messages with "%s" replaced by the path checked.
std::vector<std::string> withPath(std::vector<std::string> messages, const std::string &path)
{
    for (std::string &m : messages) {
        const size_t at = m.find("%s");
        if (at != std::string::npos) {
            m.replace(at, 2, path);
        }
    }
    return messages;
}

class SignatureCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_Logs = new ScratchDirectory("signature_logs");
        RegistryConfiguration registry;
        registry.setEmptyDebugLog(logPath());
        NfcLogProxy::startUp();  // reads debug_log_file_name once for the whole process
    }
    static void TearDownTestSuite()
    {
        NfcLogProxy::shutDown(true);
        delete s_Logs;
        s_Logs = nullptr;
    }
    static std::string logPath() { return s_Logs->file("debug.log"); }

    void SetUp() override
    {
        ASSERT_TRUE(NfcLogProxy::instance() != nullptr && NfcLogProxy::instance()->debugLog().isOn());
        m_LogMark = readFile(logPath()).size();
    }
    std::vector<std::string> newMessages() const { return messagesSince(logPath(), m_LogMark); }

    ScratchDirectory m_Files{"signature_files"};
    size_t m_LogMark = 0;

private:
    static ScratchDirectory *s_Logs;
};

ScratchDirectory *SignatureCheck::s_Logs = nullptr;

const char NoEmbeddedSignature[] = "ASSERT! : CryptSIPGetSignedDataMsg() failed.";
const char NoSuchFile[] = "ASSERT! : CreateFile() failed. GetLastError() = 2";

struct FileCase {
    const char *what;
    std::function<std::string(ScratchDirectory &)> makeFile;  // returns the path to check
    bool verified;
    std::vector<std::string> messages;
};

std::function<std::string(ScratchDirectory &)> copyOf(const char *variant)
{
    return [variant](ScratchDirectory &dir) { return dir.addPlugin(variant, std::string(variant) + ".gp"); };
}

TEST_F(SignatureCheck, OnlyAFileSignedByTheMakerInAnyLetterCaseIsVerified)
{
    const FileCase cases[] = {
        {"signed by the maker", copyOf("cat0"), true, {}},
        {"signer name in capitals", copyOf("signer_upper"), true, {}},
        {"signer with a longer name", copyOf("signer_other"), false,
         {"WARNING! : Signer is not Ravo Corporation(%s). common name = \"Ravo Corporation Ltd\""}},
        {"no signature", copyOf("unsigned"), false, {NoEmbeddedSignature}},
        {"not an executable",
         [](ScratchDirectory &dir) {
             writeFile(dir.file("text.gp"), "MZ this is no portable executable\r\n");
             return dir.file("text.gp");
         },
         false,
         {NoEmbeddedSignature}},
        {"no such file", [](ScratchDirectory &dir) { return dir.file("absent.gp"); }, false, {NoSuchFile}},
        // Only the signer's name is looked at: a signed file changed afterwards still passes.
        {"changed after signing",
         [](ScratchDirectory &dir) {
             const std::string path = dir.addPlugin("cat0", "changed.gp");
             std::string bytes = readFile(path);
             bytes[0x410] = static_cast<char>(bytes[0x410] ^ 0xFF);
             writeFile(path, bytes);
             return path;
         },
         true,
         {}},
    };
    for (const FileCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.makeFile(m_Files);
        const size_t mark = readFile(logPath()).size();
        gverify_signature signature(path.c_str());
        EXPECT_EQ(signature.verify_file(), c.verified);
        EXPECT_EQ(messagesSince(logPath(), mark), withPath(c.messages, path));
    }
}

TEST_F(SignatureCheck, PathMustFitTheWideBufferWithItsTerminator)
{
    const size_t WideCharacters = 33024;
    struct Case {
        size_t length;
        const char *message;
    };
    // One character short of the buffer converts and reaches the query; a full buffer does not.
    const Case cases[] = {{WideCharacters - 1, "ASSERT! : CreateFile() failed. GetLastError() = 3"},
                          {WideCharacters, "ASSERT! : mbstowcs_s() failed."},
                          {WideCharacters + 100, "ASSERT! : mbstowcs_s() failed."}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        std::string path = "C:\\" + std::string(c.length - 3, 'a');
        for (size_t i = 100; i < path.size(); i += 100) {
            path[i] = '\\';
        }
        ASSERT_EQ(path.size(), c.length);
        const size_t mark = readFile(logPath()).size();
        gverify_signature signature(path.c_str());
        EXPECT_FALSE(signature.verify_file());
        EXPECT_EQ(messagesSince(logPath(), mark), std::vector<std::string>{c.message});
    }
}

TEST_F(SignatureCheck, ThePathIsCopiedWhenTheCheckIsMade)
{
    const std::string path = m_Files.addPlugin("cat0", "reader.gp");
    std::vector<char> caller(path.begin(), path.end());
    caller.push_back('\0');
    gverify_signature signature(caller.data());
    caller.assign(caller.size(), 'x');
    caller.back() = '\0';
    EXPECT_TRUE(signature.verify_file());
}

TEST_F(SignatureCheck, TheLoaderRefusesEveryFileThatFailsTheCheck)
{
    const std::string upper = m_Files.addPlugin("signer_upper", "plugins\\upper.gp");
    const std::string other = m_Files.addPlugin("signer_other", "plugins\\other.gp");
    const std::string none = m_Files.addPlugin("unsigned", "plugins\\none.gp");
    NfcPluginLoader loader;
    ErrorInfo error = {0x11, 0x22};
    ASSERT_TRUE(loader.loadPlugins(m_Files.file("plugins"), &error));
    EXPECT_EQ(loader.pluginCount(), 1u);
    EXPECT_EQ(error.error_code, 0x11u);
    EXPECT_EQ(error.detail_code, 0x22u);

    const std::vector<std::string> messages = newMessages();
    auto has = [&messages](const std::string &m) {
        return std::find(messages.begin(), messages.end(), m) != messages.end();
    };
    EXPECT_TRUE(has("INFORMATION! : Load plugin(" + upper + ":0).")) << ::testing::PrintToString(messages);
    EXPECT_TRUE(has("WARNING! : Bad signature(" + other + "). "));
    EXPECT_TRUE(has("WARNING! : Bad signature(" + none + "). "));
    loader.unloadPlugins();
}

// ---------------------------------------------------------------------------------------------
// From the check to the load: the file checked is the file mapped
// ---------------------------------------------------------------------------------------------

bool replaceFile(const std::string &path, const std::string &replacement)
{
    return MoveFileExA(replacement.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

TEST_F(SignatureCheck, AVerifiedFileCannotBeChangedUntilItIsReleased)
{
    const std::string path = m_Files.addPlugin("cat0", "held.gp");
    const std::string replacement = m_Files.addPlugin("cat2", "replacement.gp");
    const struct {
        const char *what;
        std::function<bool()> attempt;  // true when the change was made
    } changes[] = {
        {"replaced by another file", [&] { return replaceFile(path, replacement); }},
        {"deleted", [&] { return DeleteFileA(path.c_str()) != FALSE; }},
        {"renamed", [&] { return MoveFileA(path.c_str(), (path + ".moved").c_str()) != FALSE; }},
        {"opened for writing",
         [&] {
             HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
             return file != INVALID_HANDLE_VALUE && CloseHandle(file) != FALSE;
         }},
    };
    gverify_signature signature(path.c_str());
    ASSERT_TRUE(signature.verify_file());
    for (const auto &change : changes) {
        EXPECT_FALSE(change.attempt()) << change.what << " while held";
    }
    signature.releaseFile();
    EXPECT_TRUE(replaceFile(path, replacement)) << "still held after release";
}

TEST_F(SignatureCheck, ARefusedFileIsNotHeld)
{
    for (const char *variant : {"signer_other", "unsigned"}) {
        SCOPED_TRACE(variant);
        const std::string path = m_Files.addPlugin(variant, "refused.gp");
        const std::string replacement = m_Files.addPlugin("cat2", "replacement.gp");
        gverify_signature signature(path.c_str());
        ASSERT_FALSE(signature.verify_file());
        EXPECT_TRUE(replaceFile(path, replacement));
    }
}

// Set by the loader's hook between the check and LoadLibrary.
struct SwapAttempt {
    std::string replacement;
    int calls = 0;
    bool swapped = false;
};
SwapAttempt g_Swap;

TEST_F(SignatureCheck, TheLoaderMapsTheFileItCheckedWhateverIsTriedInBetween)
{
    const std::string path = m_Files.addPlugin("cat0", "swapped.gp");
    g_Swap = SwapAttempt();
    g_Swap.replacement = m_Files.addPlugin("cat2", "replacement.gp");
    NfcPluginLoader::s_BeforeModuleLoad = [](const std::string &checked) {
        ++g_Swap.calls;
        g_Swap.swapped = replaceFile(checked, g_Swap.replacement);
    };
    PluginCandidate result;
    ErrorInfo error = {0, 0};
    std::unique_ptr<PluginInfo> info = NfcPluginLoader::loadCandidate(path, gverify_signature::PolicyName, &error, result);
    NfcPluginLoader::s_BeforeModuleLoad = nullptr;

    EXPECT_EQ(g_Swap.calls, 1);
    EXPECT_FALSE(g_Swap.swapped) << "the checked file was replaced before it was mapped";
    ASSERT_TRUE(info != nullptr);
    EXPECT_EQ(result.category, 0) << "the module mapped is not the one checked";
    NfcPluginLoader::unloadModule(info->module);
    EXPECT_TRUE(replaceFile(path, g_Swap.replacement)) << "still held after the load";
}

// ---------------------------------------------------------------------------------------------
// Signature policies: what each setting asks of a file besides the signer's name
// ---------------------------------------------------------------------------------------------

enum class SignedFile {
    SelfSigned,
    ChangedAfterSigning,
    IssuedByTrustedRoot,
    IssuedByUntrustedRoot,
    // Issued by the trusted root too, but no maker's code-signing certificate:
    ServerAuthOnly,         // CN=Ravo Corporation, extended key usage server authentication only
    NoExtendedKeyUsage,     // CN=Ravo Corporation, no extended key usage extension
    NameInOrganisationOnly, // O=Ravo Corporation and no CN
    FullWidthName,          // CN in full-width letters, which a code-page conversion makes ASCII
};

std::string makeSignedFile(ScratchDirectory &dir, SignedFile kind)
{
    switch (kind) {
    case SignedFile::SelfSigned:
        return dir.addPlugin("cat0", "self_signed.gp");
    case SignedFile::ChangedAfterSigning:
        return addChangedAfterSigning(dir, "cat0", "changed.gp");
    case SignedFile::IssuedByTrustedRoot:
        return dir.addPlugin("issued_cat1", "issued.gp");
    case SignedFile::IssuedByUntrustedRoot:
        return dir.addPlugin("untrusted_issuer_cat1", "untrusted_issuer.gp");
    case SignedFile::ServerAuthOnly:
        return dir.addPlugin("server_auth_cat1", "server_auth.gp");
    case SignedFile::NoExtendedKeyUsage:
        return dir.addPlugin("no_usage_cat1", "no_usage.gp");
    case SignedFile::NameInOrganisationOnly:
        return dir.addPlugin("org_only_cat1", "org_only.gp");
    case SignedFile::FullWidthName:
        return dir.addPlugin("full_width_cat1", "full_width.gp");
    }
    return std::string();
}

struct PolicyCase {
    const char *what;
    gverify_signature::SignaturePolicy policy;
    SignedFile file;
    bool verified;
    const char *refusal;  // start of the reason traced, "%s" for the path; null when none
};

const char DigestRefusal[] = "WARNING! : Signature digest does not match the file(%s). WinVerifyTrust() = 80096010h";
const char ChainRefusal[] = "WARNING! : Signer certificate is not trusted(%s). chain status = ";
const char NoCodeSigning[] = "WARNING! : Signer certificate is not for code signing(%s). extended key usage = none";
const char ServerAuthUsage[] =
    "WARNING! : Signer certificate is not for code signing(%s). extended key usage = 1.3.6.1.5.5.7.3.1";
const char NoCommonName[] = "WARNING! : Signer is not Ravo Corporation(%s). common name = \"\"";
const char FullWidthCommonName[] = "WARNING! : Signer is not Ravo Corporation(%s). common name = "
                                   "\"\\uFF32\\uFF41\\uFF56\\uFF4F \\uFF23\\uFF4F\\uFF52\\uFF50\\uFF4F"
                                   "\\uFF52\\uFF41\\uFF54\\uFF49\\uFF4F\\uFF4E\"";

TEST_F(SignatureCheck, EachPolicyRefusesWhatItPromisesAndNothingElse)
{
    // Trusted for the whole table; the untrusted files come from another authority.
    TrustedTestRoot trusted;
    ASSERT_TRUE(trusted.added()) << "cannot add the test root to the trusted store";
    using P = gverify_signature;
    const PolicyCase cases[] = {
        // The name setting: only the signer's name counts.
        {"name, self-signed", P::PolicyName, SignedFile::SelfSigned, true, nullptr},
        {"name, changed after signing", P::PolicyName, SignedFile::ChangedAfterSigning, true, nullptr},
        {"name, issued by an untrusted root", P::PolicyName, SignedFile::IssuedByUntrustedRoot, true, nullptr},
        {"name, issued by a trusted root", P::PolicyName, SignedFile::IssuedByTrustedRoot, true, nullptr},
        // The digest setting: also refuses a file changed after signing; says nothing of trust.
        {"digest, self-signed", P::PolicyDigest, SignedFile::SelfSigned, true, nullptr},
        {"digest, changed after signing", P::PolicyDigest, SignedFile::ChangedAfterSigning, false, DigestRefusal},
        {"digest, issued by an untrusted root", P::PolicyDigest, SignedFile::IssuedByUntrustedRoot, true, nullptr},
        // The chain setting: also needs a certificate issued under a trusted root.
        {"chain, self-signed", P::PolicyChain, SignedFile::SelfSigned, false, NoCodeSigning},
        {"chain, changed after signing", P::PolicyChain, SignedFile::ChangedAfterSigning, false, DigestRefusal},
        {"chain, issued by an untrusted root", P::PolicyChain, SignedFile::IssuedByUntrustedRoot, false, ChainRefusal},
        {"chain, issued by a trusted root", P::PolicyChain, SignedFile::IssuedByTrustedRoot, true, nullptr},
        // The chain setting also needs a certificate issued for signing code.
        {"digest, server authentication only", P::PolicyDigest, SignedFile::ServerAuthOnly, true, nullptr},
        {"chain, server authentication only", P::PolicyChain, SignedFile::ServerAuthOnly, false, ServerAuthUsage},
        {"chain, no extended key usage", P::PolicyChain, SignedFile::NoExtendedKeyUsage, false, NoCodeSigning},
        // Every setting reads the common name, whole and in its own characters.
        {"name, name in O= only", P::PolicyName, SignedFile::NameInOrganisationOnly, false, NoCommonName},
        {"chain, name in O= only", P::PolicyChain, SignedFile::NameInOrganisationOnly, false, NoCommonName},
        {"name, full-width look-alike", P::PolicyName, SignedFile::FullWidthName, false, FullWidthCommonName},
        {"chain, full-width look-alike", P::PolicyChain, SignedFile::FullWidthName, false, FullWidthCommonName},
    };
    for (const PolicyCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = makeSignedFile(m_Files, c.file);
        const size_t mark = readFile(logPath()).size();
        gverify_signature signature(path.c_str(), c.policy);
        EXPECT_EQ(signature.verify_file(), c.verified);
        const std::vector<std::string> messages = messagesSince(logPath(), mark);
        if (c.refusal == nullptr) {
            EXPECT_EQ(messages, std::vector<std::string>{});
        } else {
            std::string expected = c.refusal;
            expected.replace(expected.find("%s"), 2, path);
            // One line, beginning with the reason (the chain status that follows may vary).
            EXPECT_TRUE(messages.size() == 1 && messages[0].compare(0, expected.size(), expected) == 0)
                << "expected " << expected << "...\n   got " << ::testing::PrintToString(messages);
        }
        signature.releaseFile();
        DeleteFileA(path.c_str());
    }
}

// ---------------------------------------------------------------------------------------------
// The signature itself, and time stamps: signature blocks edited and moved between files
// ---------------------------------------------------------------------------------------------

uint32_t readLittle(const std::string &bytes, size_t at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
    }
    return value;
}

void writeLittle(std::string &bytes, size_t at, int size, uint32_t value)
{
    for (int i = 0; i < size; ++i) {
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// The certificate table of a signed PE file and the PKCS #7 signed data of its one entry.
struct CertificateTable {
    size_t directoryEntry = 0;  // file offset of the security directory entry
    size_t offset = 0;          // file offset of the table
    std::string signature;
};

CertificateTable certificateTable(const std::string &file)
{
    CertificateTable table;
    const size_t optionalHeader = readLittle(file, 0x3C, 4) + 4 + 20;
    table.directoryEntry = optionalHeader + (readLittle(file, optionalHeader, 2) == 0x20B ? 144 : 128);
    table.offset = readLittle(file, table.directoryEntry, 4);
    NfcDer::Element element;
    const uint8_t *data = reinterpret_cast<const uint8_t *>(file.data()) + table.offset + 8;
    if (table.offset + 8 < file.size() && NfcDer::readElement(data, file.size() - table.offset - 8, element)) {
        table.signature.assign(reinterpret_cast<const char *>(data), element.size);
    }
    return table;
}

// The file with its certificate table replaced by one entry holding signature.
std::string withSignature(const std::string &file, const std::string &signature)
{
    const CertificateTable table = certificateTable(file);
    std::string entry(8, '\0');
    writeLittle(entry, 0, 4, static_cast<uint32_t>(8 + signature.size()));
    writeLittle(entry, 4, 2, 0x0200);  // WIN_CERT_REVISION_2_0
    writeLittle(entry, 6, 2, 0x0002);  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
    entry += signature;
    entry.resize((entry.size() + 7) & ~size_t(7), '\0');
    std::string changed = file.substr(0, table.offset);
    writeLittle(changed, table.directoryEntry + 4, 4, static_cast<uint32_t>(entry.size()));
    return changed + entry;
}

// One parameter of the signed data (the content, or the first signer's information).
std::string signedDataParameter(const std::string &signature, DWORD parameter)
{
    std::string value;
    HCRYPTMSG message = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    DWORD size = 0;
    if (message != nullptr &&
        CryptMsgUpdate(message, reinterpret_cast<const BYTE *>(signature.data()), static_cast<DWORD>(signature.size()),
                       TRUE) &&
        CryptMsgGetParam(message, parameter, 0, nullptr, &size)) {
        value.resize(size);
        CryptMsgGetParam(message, parameter, 0, &value[0], &size);
    }
    if (message != nullptr) {
        CryptMsgClose(message);
    }
    return value;
}

// The file digest the signature's Authenticode content names: SpcIndirectDataContent
// { data, DigestInfo { algorithm, digest } }.
std::string indirectDataDigest(const std::string &signature)
{
    const std::string content = signedDataParameter(signature, CMSG_CONTENT_PARAM);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(content.data());
    NfcDer::Element outer, data, digestInfo, algorithm, digest;
    if (!NfcDer::readElement(p, content.size(), outer) ||
        !NfcDer::readElement(outer.content, outer.length, data) ||
        !NfcDer::readElement(data.content + data.length, outer.length - data.size, digestInfo) ||
        !NfcDer::readElement(digestInfo.content, digestInfo.length, algorithm) ||
        !NfcDer::readElement(algorithm.content + algorithm.length, digestInfo.length - algorithm.size, digest)) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char *>(digest.content), digest.length);
}

std::string signatureValue(const std::string &signature)
{
    const std::string info = signedDataParameter(signature, CMSG_SIGNER_INFO_PARAM);
    if (info.empty()) {
        return info;
    }
    const CMSG_SIGNER_INFO *signer = reinterpret_cast<const CMSG_SIGNER_INFO *>(info.data());
    return std::string(reinterpret_cast<const char *>(signer->EncryptedHash.pbData), signer->EncryptedHash.cbData);
}

// Replaces the one place where from occurs; false when it occurs elsewhere too, or nowhere.
bool replaceOnce(std::string &text, const std::string &from, const std::string &to)
{
    const size_t at = from.empty() ? std::string::npos : text.find(from);
    if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) {
        return false;
    }
    text.replace(at, from.size(), to);
    return true;
}

// A copy of the target plug-in that carries the donor plug-in's genuine signature block, its
// content's file digest edited to the target's: the file digest then matches the file.
std::string addMovedSignerBlock(ScratchDirectory &dir, const char *donor, const char *target, const char *name)
{
    const std::string path = dir.addPlugin(target, name);
    const std::string file = readFile(path);
    std::string block = certificateTable(readFile(testPluginPath(donor))).signature;
    EXPECT_TRUE(replaceOnce(block, indirectDataDigest(block), indirectDataDigest(certificateTable(file).signature)));
    writeFile(path, withSignature(file, block));
    return path;
}

// A copy of the plug-in whose signature value has one bit changed.
std::string addAlteredSignatureValue(ScratchDirectory &dir, const char *variant, const char *name)
{
    const std::string path = dir.addPlugin(variant, name);
    const std::string file = readFile(path);
    std::string block = certificateTable(file).signature;
    const std::string value = signatureValue(block);
    std::string altered = value;
    if (!altered.empty()) {
        altered[altered.size() / 2] = static_cast<char>(altered[altered.size() / 2] ^ 0x01);
    }
    EXPECT_TRUE(replaceOnce(block, value, altered));
    writeFile(path, withSignature(file, block));
    return path;
}

// A copy of the plug-in whose time-stamp information names another time than its authority
// signed.
std::string addEditedTimeStamp(ScratchDirectory &dir, const char *variant, const char *name)
{
    const std::string path = dir.addPlugin(variant, name);
    std::string file = readFile(path);
    EXPECT_TRUE(replaceOnce(file, "20200601000000Z", "20200602000000Z"));
    writeFile(path, file);
    return path;
}

struct SignatureCase {
    const char *what;
    gverify_signature::SignaturePolicy policy;
    std::function<std::string(ScratchDirectory &)> makeFile;
    bool verified;
    std::vector<std::string> messages;  // starts of the lines traced, "%s" for the path
};

void checkCases(const std::vector<SignatureCase> &cases, ScratchDirectory &files, const std::string &logPath)
{
    for (const SignatureCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.makeFile(files);
        const size_t mark = readFile(logPath).size();
        gverify_signature signature(path.c_str(), c.policy);
        EXPECT_EQ(signature.verify_file(), c.verified);
        const std::vector<std::string> messages = messagesSince(logPath, mark);
        const std::vector<std::string> expected = withPath(c.messages, path);
        bool match = messages.size() == expected.size();
        for (size_t i = 0; match && i < messages.size(); ++i) {
            match = messages[i].compare(0, expected[i].size(), expected[i]) == 0;
        }
        EXPECT_TRUE(match) << "expected " << ::testing::PrintToString(expected) << "...\n   got "
                           << ::testing::PrintToString(messages);
        signature.releaseFile();
        DeleteFileA(path.c_str());
    }
}

const char BadSignatureValue[] = "WARNING! : Signature does not verify with the signer's certificate(%s). ";
const char ContentNotDigested[] = "WARNING! : Signed content does not match the signature's message digest(%s).";

// The file digest matching the file proves nothing by itself: a signature block may be taken
// from a genuine file, its content's file digest edited, and put on another file.
TEST_F(SignatureCheck, DigestAndChainVerifyTheSignatureItselfNotOnlyTheFileDigest)
{
    TrustedTestRoot trusted;
    ASSERT_TRUE(trusted.added()) << "cannot add the test root to the trusted store";
    using P = gverify_signature;
    auto moved = [](const char *donor) {
        return [donor](ScratchDirectory &dir) { return addMovedSignerBlock(dir, donor, "cat2", "moved.gp"); };
    };
    auto altered = [](const char *variant) {
        return [variant](ScratchDirectory &dir) { return addAlteredSignatureValue(dir, variant, "altered.gp"); };
    };
    const std::vector<SignatureCase> cases = {
        {"name, block moved", P::PolicyName, moved("cat0"), true, {}},
        {"digest, block moved", P::PolicyDigest, moved("cat0"), false, {ContentNotDigested}},
        {"chain, block of a trusted signer moved", P::PolicyChain, moved("issued_cat1"), false, {ContentNotDigested}},
        {"name, signature value altered", P::PolicyName, altered("cat0"), true, {}},
        {"digest, signature value altered", P::PolicyDigest, altered("cat0"), false, {BadSignatureValue}},
        {"chain, signature value of a trusted signer altered", P::PolicyChain, altered("issued_cat1"), false,
         {BadSignatureValue}},
        // The same helpers leave a file they did not edit as it was.
        {"chain, block moved onto its own file", P::PolicyChain,
         [](ScratchDirectory &dir) { return addMovedSignerBlock(dir, "issued_cat1", "issued_cat1", "own.gp"); }, true,
         {}},
    };
    checkCases(cases, m_Files, logPath());
}

const char TimeStampNotUsed[] = "WARNING! : Time stamp not used(%s). ";
const char NotTrustedNow[] = "WARNING! : Signer certificate is not trusted(%s). chain status = ";

// Under the chain policy a certificate counts at the time of a time stamp that holds: a maker's
// certificate that expired after signing still counts when the signature was stamped in its
// validity. A time stamp that does not hold is traced and the chain is judged now.
TEST_F(SignatureCheck, ChainJudgesTheCertificateAtTheTimeOfAValidTimeStamp)
{
    TrustedTestRoot trusted;
    ASSERT_TRUE(trusted.added()) << "cannot add the test root to the trusted store";
    using P = gverify_signature;
    auto copy = [](const char *variant) {
        return [variant](ScratchDirectory &dir) { return dir.addPlugin(variant, std::string(variant) + ".gp"); };
    };
    const std::vector<SignatureCase> cases = {
        {"chain, expired, no time stamp", P::PolicyChain, copy("expired_cat1"), false, {NotTrustedNow}},
        {"chain, expired, stamped in its validity", P::PolicyChain, copy("expired_stamped_cat1"), true,
         {"INFORMATION! : Signature time-stamped at 2020-06-01 00:00:00 UTC(%s)."}},
        {"chain, expired, stamped after it expired", P::PolicyChain, copy("expired_late_stamp_cat1"), false,
         {std::string(TimeStampNotUsed) +
              "its time 2022-06-01 00:00:00 UTC is outside the signer certificate's validity",
          NotTrustedNow}},
        {"chain, expired, stamped by an untrusted authority", P::PolicyChain, copy("expired_untrusted_stamp_cat1"),
         false,
         {std::string(TimeStampNotUsed) + "its signer's certificate is not trusted at 2020-06-01 00:00:00 UTC",
          NotTrustedNow}},
        {"chain, expired, stamped time edited", P::PolicyChain,
         [](ScratchDirectory &dir) { return addEditedTimeStamp(dir, "expired_stamped_cat1", "edited.gp"); }, false,
         {std::string(TimeStampNotUsed) + "its token's signature does not verify", NotTrustedNow}},
        // Only the chain policy reads time stamps, and the others never judge validity in time.
        {"digest, expired, no time stamp", P::PolicyDigest, copy("expired_cat1"), true, {}},
        {"digest, expired, stamped in its validity", P::PolicyDigest, copy("expired_stamped_cat1"), true, {}},
        {"name, expired, stamped after it expired", P::PolicyName, copy("expired_late_stamp_cat1"), true, {}},
    };
    checkCases(cases, m_Files, logPath());
}

// ---------------------------------------------------------------------------------------------
// Names no 8-bit code page spells, and a module mapped from another file than the one checked
// ---------------------------------------------------------------------------------------------

std::wstring wide(const std::string &utf8)
{
    std::wstring text(utf8.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0],
                                    static_cast<int>(text.size())));
    return text;
}

TEST_F(SignatureCheck, AWideNameOutsideTheAnsiCodePageIsCheckedAndTracedInUtf8)
{
    // Devanagari and CJK letters: no ANSI code page has both.
    const std::wstring path = wide(m_Files.path()) + L"\u0915\u8aad.gp";
    ASSERT_TRUE(CopyFileW(wide(testPluginPath("signer_other")).c_str(), path.c_str(), FALSE));
    gverify_signature refused(path.c_str());
    EXPECT_EQ(refused.tracePath(), m_Files.path() + "\xE0\xA4\x95\xE8\xAA\xAD.gp");
    EXPECT_FALSE(refused.verify_file());
    EXPECT_EQ(newMessages(), withPath({"WARNING! : Signer is not Ravo Corporation(%s). common name = "
                                       "\"Ravo Corporation Ltd\""},
                                      refused.tracePath()));
    ASSERT_TRUE(CopyFileW(wide(testPluginPath("cat0")).c_str(), path.c_str(), FALSE));
    gverify_signature accepted(path.c_str(), gverify_signature::PolicyDigest);
    EXPECT_TRUE(accepted.verify_file());
    accepted.releaseFile();
    // The scratch directory is emptied through the 8-bit file functions, which cannot name it.
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// Set by the loader's hook: the checked file's directory moved away and another plug-in put at
// the same path.
struct DirectorySwap {
    std::string directory;
    std::string replacement;
    bool swapped = false;
};
DirectorySwap g_DirectorySwap;

TEST_F(SignatureCheck, TheLoaderRefusesAModuleMappedFromAnotherFileThanTheOneChecked)
{
    const std::string path = m_Files.addPlugin("cat0", "swap\\reader.gp");
    g_DirectorySwap = DirectorySwap();
    g_DirectorySwap.directory = m_Files.file("swap");
    g_DirectorySwap.replacement = testPluginPath("cat2");
    NfcPluginLoader::s_BeforeModuleLoad = [](const std::string &checked) {
        const std::string &directory = g_DirectorySwap.directory;
        g_DirectorySwap.swapped = MoveFileA(directory.c_str(), (directory + ".moved").c_str()) &&
                                  CreateDirectoryA(directory.c_str(), nullptr) &&
                                  CopyFileA(g_DirectorySwap.replacement.c_str(), checked.c_str(), FALSE);
    };
    PluginCandidate result;
    ErrorInfo error = {0, 0};
    std::unique_ptr<PluginInfo> info =
        NfcPluginLoader::loadCandidate(path, gverify_signature::PolicyName, &error, result);
    NfcPluginLoader::s_BeforeModuleLoad = nullptr;

    // A directory holding an open file can be renamed here (it cannot on NTFS, where the file
    // held keeps the path as it was).
    ASSERT_TRUE(g_DirectorySwap.swapped) << "the directory could not be swapped";
    EXPECT_TRUE(info == nullptr) << "category " << int(result.category) << " loaded";
    EXPECT_EQ(result.refusedAt, PluginCandidate::Load);
    EXPECT_EQ(result.loadError, static_cast<DWORD>(ERROR_FILE_INVALID));
    EXPECT_EQ(newMessages(), withPath({"WARNING! : Plugin(%s) loaded is not the file checked.",
                                       "WARNING! : Failed to load Plugin(%s). "},
                                      path));
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "the other module stays loaded";
    if (info) {
        NfcPluginLoader::unloadModule(info->module);
    }
}

TEST(SignaturePolicyText, NamesAreReadWithoutRegardToLetterCaseAndBlanksAndAnythingElseIsTheStrictest)
{
    using P = gverify_signature;
    const struct {
        const char *text;
        P::SignaturePolicy policy;
        bool known;
    } cases[] = {
        {nullptr, P::PolicyName, true},  {"", P::PolicyName, true},          {"name", P::PolicyName, true},
        {" Name ", P::PolicyName, true}, {"DIGEST", P::PolicyDigest, true},   {"\tchain", P::PolicyChain, true},
        {"chains", P::PolicyChain, false}, {"none", P::PolicyChain, false}, {"name,digest", P::PolicyChain, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        bool known = !c.known;
        EXPECT_EQ(P::parsePolicy(c.text, &known), c.policy);
        EXPECT_EQ(known, c.known);
    }
}

}  // namespace
