// Finds the reader plug-ins below the plug-in directory, checks and loads them, and keeps one
// plug-in per port category from initialisation until uninitialisation.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NfcPluginFunctionTable.h"
#include "gverify_signature.h"

class NfcPluginWrapper;

typedef uint8_t PortCategory;

struct PluginInfo {
    HMODULE module;
    PluginFunctionTable functions;
};

// What the check of one candidate file found; refusedAt names the step that refused it.
struct PluginCandidate {
    enum Step { Accepted, Signature, Memory, Load, Bind, Version, Category };
    Step refusedAt = Accepted;
    DWORD loadError = 0;     // GetLastError() after LoadLibraryA failed
    int32_t version = 0;     // as gp_get_version_number left it
    PortCategory category = 0;
};

class NfcPluginLoader {
public:
    NfcPluginLoader();
    virtual ~NfcPluginLoader();

    // Loads every acceptable plug-in below home; true when at least one was registered.
    bool loadPlugins(std::string home, ErrorInfo *err);
    // What the signer check of the next load asks of each file besides the signer's name.
    void setSignaturePolicy(gverify_signature::SignaturePolicy policy) { m_SignaturePolicy = policy; }
    // Releases every registered plug-in's module and record.
    void unloadPlugins();
    // Copies the table of the plug-in serving category into wrapper.
    bool getPlugin(PortCategory category, NfcPluginWrapper *wrapper, ErrorInfo *err);

    // Directory search and file name rules, public for tests.
    static bool isDirectory(const std::string &path);
    static void searchPluginFiles(const std::string &directory, std::vector<std::string> &list);
    static bool isPluginFileName(const std::string &path);
    static bool splitFileName(const std::string &path, std::string &extension, std::string &baseName);
    static bool bindPluginFunctions(HMODULE module, PluginFunctionTable &functions);
    // One candidate file, as a load takes it: signer check under policy, LoadLibrary, binding,
    // version and category, each refusal traced with its warning and its module unloaded. On
    // acceptance the returned record holds the module (the caller owns both); otherwise null.
    // The category is not compared with the registered ones here. Also used by the plug-in checker.
    static std::unique_ptr<PluginInfo> loadCandidate(const std::string &path,
                                                     gverify_signature::SignaturePolicy policy, ErrorInfo *err,
                                                     PluginCandidate &result);
    // FreeLibrary, traced when it fails.
    static void unloadModule(HMODULE module);

    // For tests: called by loadCandidate between a passed signer check and LoadLibrary, while
    // the checked file is held. Null (the default) calls nothing.
    static void (*s_BeforeModuleLoad)(const std::string &path);

    // Directory links are not followed and the search stops this deep, so that a link back to
    // an ancestor cannot make the search run away.
    static const int MaximumSearchDepth = 32;

    size_t pluginCount() const { return m_Plugins.size(); }

private:
    static void searchPluginFiles(const std::string &directory, std::vector<std::string> &list, int depth);

    std::map<PortCategory, std::unique_ptr<PluginInfo>> m_Plugins;
    gverify_signature::SignaturePolicy m_SignaturePolicy = gverify_signature::PolicyName;
};
