#include "NfcCheckerInterface.h"

#include "NfcConfiguration.h"
#include "NfcPluginLoader.h"
#include "NfcRegistry.h"
#include "gverify_signature.h"

static_assert(static_cast<int>(NfcCheckerInterface::PolicyName) == gverify_signature::PolicyName &&
                  static_cast<int>(NfcCheckerInterface::PolicyDigest) == gverify_signature::PolicyDigest &&
                  static_cast<int>(NfcCheckerInterface::PolicyChain) == gverify_signature::PolicyChain,
              "the checker's policies are the signer check's");

namespace {
gverify_signature::SignaturePolicy signerPolicy(NfcCheckerInterface::SignaturePolicy policy)
{
    return static_cast<gverify_signature::SignaturePolicy>(policy);
}
NfcCheckerInterface::SignaturePolicy checkerPolicy(gverify_signature::SignaturePolicy policy)
{
    return static_cast<NfcCheckerInterface::SignaturePolicy>(policy);
}
} // namespace

NfcCheckerInterface::SignaturePolicy NfcCheckerInterface::parsePolicy(const char *text, bool *known)
{
    return checkerPolicy(gverify_signature::parsePolicy(text, known));
}

const char *NfcCheckerInterface::policyName(SignaturePolicy policy)
{
    return gverify_signature::policyName(signerPolicy(policy));
}

const char *NfcCheckerInterface::expectedSigner()
{
    return gverify_signature::ExpectedSigner;
}

bool NfcCheckerInterface::verifySignature(const std::string &path, SignaturePolicy policy)
{
    gverify_signature check(path.c_str(), signerPolicy(policy));
    return check.verify_file();
}

NfcCheckerInterface::SignaturePolicy NfcCheckerInterface::signaturePolicyFromRegistry()
{
    return checkerPolicy(NfcConfiguration::signaturePolicyFromRegistry());
}

std::vector<std::string> NfcCheckerInterface::categoryNames()
{
    std::vector<std::string> items;
    const size_t count =
        NfcConfiguration::readList("category_name_list", NfcConfiguration::MaximumCategoryCharacters, items);
    items.resize(count < NfcConfiguration::MaximumCategories ? count : NfcConfiguration::MaximumCategories);
    return items;
}

std::string NfcCheckerInterface::pluginsHomeDirectory()
{
    char value[NfcRegistry::PathBufferSize] = "";
    if (NfcRegistry::openCompanyKey()) {
        NfcRegistry::readRegistryValue(value, sizeof(value), "plugins_home_directory");
        NfcRegistry::closeCompanyKey();
    }
    return value;
}

bool NfcCheckerInterface::isPluginFileName(const std::string &path)
{
    return NfcPluginLoader::isPluginFileName(path);
}

bool NfcCheckerInterface::bindPluginFunctions(HMODULE module, PluginFunctionTable &functions)
{
    return NfcPluginLoader::bindPluginFunctions(module, functions);
}

HMODULE NfcCheckerInterface::loadCandidate(const std::string &path, SignaturePolicy policy, ErrorInfo *err,
                                           PluginCandidate &result)
{
    const std::unique_ptr<PluginInfo> accepted = NfcPluginLoader::loadCandidate(path, signerPolicy(policy), err, result);
    return accepted ? accepted->module : nullptr;
}

void NfcCheckerInterface::unloadModule(HMODULE module)
{
    NfcPluginLoader::unloadModule(module);
}
