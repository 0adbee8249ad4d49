// Finds the reader plug-ins below the plug-in directory, checks and loads them, and keeps one
// plug-in per port category from initialisation until uninitialisation.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NfcPluginCandidate.h"
#include "NfcPluginFunctionTable.h"
#include "gverify_signature.h"

class NfcPluginWrapper;

struct PluginInfo {
    HMODULE module;
    PluginFunctionTable functions;
    PluginOptionalTable optional;  // found with GetProcAddress; null where missing
};

// One loaded plug-in that can list its ports (gp_list_ports), for the reader list.
struct PluginPortLister {
    PortCategory category;
    gp_list_ports_t listPorts;
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

    // Directory search and file name rules, public for tests. The search and the load use wide
    // characters from the directory walk to LoadLibrary, so that the file checked is the file
    // the name names whatever the code pages; traces print paths in UTF-8.
    static bool isDirectory(const std::wstring &path);
    static void searchPluginFiles(const std::wstring &directory, std::vector<std::wstring> &list);
    static bool isPluginFileName(const std::string &path);
    static bool isPluginFileName(const std::wstring &path);
    static bool splitFileName(const std::string &path, std::string &extension, std::string &baseName);
    static bool bindPluginFunctions(HMODULE module, PluginFunctionTable &functions);
    // Looks the optional entry points up (none is required) and traces those found.
    static void bindOptionalFunctions(HMODULE module, PluginOptionalTable &optional);
    // The loaded plug-ins that export gp_list_ports, by category.
    std::vector<PluginPortLister> portListers() const;
    // One candidate file, as a load takes it: signer check under policy, LoadLibrary, binding,
    // version and category, each refusal traced with its warning and its module unloaded. The
    // module loaded must be the very file checked (same volume and file index as the file held
    // since the check); otherwise it is unloaded and refused at the load step with loadError
    // ERROR_FILE_INVALID. On acceptance the returned record holds the module (the caller owns
    // both); otherwise null. The category is not compared with the registered ones here. Also
    // used by the plug-in checker (the 8-bit form: a path in the system code page).
    static std::unique_ptr<PluginInfo> loadCandidate(const std::wstring &path,
                                                     gverify_signature::SignaturePolicy policy, ErrorInfo *err,
                                                     PluginCandidate &result);
    static std::unique_ptr<PluginInfo> loadCandidate(const std::string &path,
                                                     gverify_signature::SignaturePolicy policy, ErrorInfo *err,
                                                     PluginCandidate &result);
    // FreeLibrary, traced when it fails.
    static void unloadModule(HMODULE module);

    // For tests: called by loadCandidate between a passed signer check and LoadLibrary, while
    // the checked file is held, with the path in UTF-8. Null (the default) calls nothing.
    static void (*s_BeforeModuleLoad)(const std::string &path);

    // Directory links are not followed and the search stops this deep, so that a link back to
    // an ancestor cannot make the search run away.
    static const int MaximumSearchDepth = 32;

    size_t pluginCount() const { return m_Plugins.size(); }

private:
    static void searchPluginFiles(const std::wstring &directory, std::vector<std::wstring> &list, int depth);
    static bool isModuleOfFile(HMODULE module, HANDLE file);

    std::map<PortCategory, std::unique_ptr<PluginInfo>> m_Plugins;
    gverify_signature::SignaturePolicy m_SignaturePolicy = gverify_signature::PolicyName;
};
