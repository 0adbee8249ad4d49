// The signer check of plug-in files, called directly and through the loader, with the
// process-wide debug log on so that every message it writes can be compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

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
