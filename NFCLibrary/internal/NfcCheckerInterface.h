// What the plug-in checker (tools/plugin_check) uses of the library, and nothing more: the
// loader's verdict on a candidate file, the signer check, the registry configuration as
// initialise reads it, and, in the headers beside this one, the plug-in entry table and the
// forwarding of calls as the library makes them. The checker runs the library's own code
// through it, so that its verdicts are the library's; the library's other classes stay out of
// its sight (this directory is all of the library it includes).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "NfcPluginCandidate.h"
#include "NfcPluginFunctionTable.h"

class NfcCheckerInterface {
public:
    // The signer check's policies, as plugin_signature_policy names them, strictest last.
    enum SignaturePolicy { PolicyName, PolicyDigest, PolicyChain };

    // "name", "digest" or "chain" (letter case and surrounding blanks ignored); anything else is
    // the strictest, with known set to false.
    static SignaturePolicy parsePolicy(const char *text, bool *known);
    static const char *policyName(SignaturePolicy policy);
    // The common name the first signer must have.
    static const char *expectedSigner();
    // The library's signer check of the file under policy.
    static bool verifySignature(const std::string &path, SignaturePolicy policy);

    // plugin_signature_policy as initialise reads it.
    static SignaturePolicy signaturePolicyFromRegistry();
    // category_name_list by position (the category number), as initialise reads it.
    static std::vector<std::string> categoryNames();
    // plugins_home_directory; empty when it is not set.
    static std::string pluginsHomeDirectory();

    // The loader's file name rule: extension "gp", any letter case.
    static bool isPluginFileName(const std::string &path);
    // The loader's binding of the fourteen entry points; false when one is missing.
    static bool bindPluginFunctions(HMODULE module, PluginFunctionTable &functions);
    // The loader's check of one candidate file (a path in the system code page), as initialise
    // makes it: the module when it is accepted (the caller frees it with unloadModule), else
    // null; result says which step refused it.
    static HMODULE loadCandidate(const std::string &path, SignaturePolicy policy, ErrorInfo *err,
                                 PluginCandidate &result);
    static void unloadModule(HMODULE module);
};
