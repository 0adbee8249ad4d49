#include "NfcPluginLoader.h"

#include <new>

#include "NfcLogProxy.h"
#include "NfcPluginWrapper.h"
#include "gverify_signature.h"
#include "korvat_nfc.h"

#ifdef _WIN64
#define NFC_LIBRARY_ARCH "x64"
#else
#define NFC_LIBRARY_ARCH "x86"
#endif

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcPluginLoader.cpp";

void (*NfcPluginLoader::s_BeforeModuleLoad)(const std::string &path) = nullptr;

NfcPluginLoader::NfcPluginLoader() = default;

// Frees the records only; the library unloads the modules first, through uninitialise.
NfcPluginLoader::~NfcPluginLoader() = default;

bool NfcPluginLoader::loadPlugins(std::string home, ErrorInfo *err)
{
    if (err == nullptr) {
        return false;
    }
    if (home.empty() || !isDirectory(home)) {
        NFC_LOG(0, "ERROR! : Invalid plugins_home_directory.\n");
        err->error_code = KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY;
        return false;
    }
    m_Plugins.clear();

    std::vector<std::string> candidates;
    searchPluginFiles(home, candidates);

    for (const std::string &path : candidates) {
        PluginCandidate result;
        std::unique_ptr<PluginInfo> info = loadCandidate(path, m_SignaturePolicy, err, result);
        if (!info) {
            continue;
        }
        const char *name = path.c_str();
        const PortCategory category = result.category;
        if (m_Plugins.count(category) != 0) {
            unloadModule(info->module);
            NFC_LOG(0, "WARNING! : Tihs category is already registerd(%s:%d).\n", name, category);
            continue;
        }
        NFC_LOG(0, "INFORMATION! : Load plugin(%s:%d).\n", name, category);
        m_Plugins[category] = std::move(info);
    }

    if (m_Plugins.empty()) {
        NFC_LOG(0, "ERROR! : Any Plugin cannot be loaded.\n");
        err->error_code = KORVAT_NFC_E_NO_PLUGIN;
        return false;
    }
    return true;
}

std::unique_ptr<PluginInfo> NfcPluginLoader::loadCandidate(const std::string &path,
                                                           gverify_signature::SignaturePolicy policy, ErrorInfo *err,
                                                           PluginCandidate &result)
{
    const char *name = path.c_str();
    gverify_signature signature(name, policy);
    if (!signature.verify_file()) {
        NFC_LOG(0, "WARNING! : Bad signature(%s). \n", name);
        result.refusedAt = PluginCandidate::Signature;
        return nullptr;
    }
    std::unique_ptr<PluginInfo> info(new (std::nothrow) PluginInfo());
    if (!info) {
        NFC_LOG(0, "WARNING! : Failed to allocate memory(%s). \n", name);
        result.refusedAt = PluginCandidate::Memory;
        return nullptr;
    }
    if (s_BeforeModuleLoad != nullptr) {
        s_BeforeModuleLoad(path);
    }
    // The signature object still holds the checked file: LoadLibrary maps that file, and the
    // mapping keeps it from being written once the hold ends.
    info->module = LoadLibraryA(name);
    signature.releaseFile();
    if (info->module == nullptr) {
        const DWORD reason = GetLastError();
        result.loadError = reason;
        result.refusedAt = PluginCandidate::Load;
        NFC_LOG(0, "WARNING! : Failed to load Plugin(%s). \n", name);
        if (reason == ERROR_BAD_EXE_FORMAT) {
            // A plug-in of the other architecture (an x86 one beside the x64 library, say).
            NFC_LOG(0, "WARNING! : Plugin(%s) is not a module of this architecture (" NFC_LIBRARY_ARCH ").\n",
                    name);
        }
        return nullptr;
    }
    if (!bindPluginFunctions(info->module, info->functions)) {
        unloadModule(info->module);
        NFC_LOG(0, "WARNING! : Fail to get function(%s).\n", name);
        result.refusedAt = PluginCandidate::Bind;
        return nullptr;
    }
    int32_t version = 0;
    const bool versionKnown = info->functions.gp_get_version_number(&version) != 0;
    result.version = version;
    if (!versionKnown || version < GP_MINIMUM_VERSION) {
        unloadModule(info->module);
        NFC_LOG(0, "WARNING! : Illegal Plugin(%s) version.\n", name);
        result.refusedAt = PluginCandidate::Version;
        return nullptr;
    }
    PortCategory category = 0;
    if (info->functions.gp_get_plugin_information(&category, err) == 0) {
        unloadModule(info->module);
        NFC_LOG(0, "WARNING! : Fail to get Port category(%s).\n", name);
        result.refusedAt = PluginCandidate::Category;
        return nullptr;
    }
    result.category = category;
    result.refusedAt = PluginCandidate::Accepted;
    return info;
}

void NfcPluginLoader::unloadPlugins()
{
    for (auto &entry : m_Plugins) {
        if (!entry.second) {
            NFC_LOG(0, "ASSERT! : pPluginInfo is NULL.\n");
            continue;
        }
        unloadModule(entry.second->module);
        entry.second.reset();
    }
    // The records are gone; dropping the entries now keeps the table from ever naming freed
    // records (the destructor, or a later load, would otherwise meet them again).
    m_Plugins.clear();
}

bool NfcPluginLoader::getPlugin(PortCategory category, NfcPluginWrapper *wrapper, ErrorInfo *err)
{
    if (wrapper == nullptr || err == nullptr) {
        return false;
    }
    auto found = m_Plugins.find(category);
    if (found == m_Plugins.end() || !found->second) {
        NFC_LOG(0, "ERROR! PortCategory = %d is not supported.\n", category);
        err->error_code = KORVAT_NFC_E_NO_PLUGIN;
        return false;
    }
    wrapper->setFunctionTable(found->second->functions);
    return true;
}

bool NfcPluginLoader::isDirectory(const std::string &path)
{
    std::string copy = path;
    if (!copy.empty() && copy.back() == '\\') {
        copy.pop_back();
    }
    const DWORD attributes = GetFileAttributesA(copy.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void NfcPluginLoader::searchPluginFiles(const std::string &directory, std::vector<std::string> &list)
{
    searchPluginFiles(directory, list, 0);
}

void NfcPluginLoader::searchPluginFiles(const std::string &directory, std::vector<std::string> &list, int depth)
{
    std::string prefix = directory;
    if (prefix.empty() || prefix.back() != '\\') {
        prefix += '\\';
    }
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((prefix + "*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                NFC_LOG(0, "WARNING! : Directory link not searched(%s%s).\n", prefix.c_str(), name.c_str());
                continue;
            }
            if (depth + 1 >= MaximumSearchDepth) {
                NFC_LOG(0, "WARNING! : Directory too deep, not searched(%s%s).\n", prefix.c_str(), name.c_str());
                continue;
            }
            searchPluginFiles(prefix + name + "\\", list, depth + 1);
        } else if (isPluginFileName(prefix + name)) {
            list.push_back(prefix + name);
        }
    } while (FindNextFileA(search, &entry));
    if (!FindClose(search)) {
        NFC_LOG(0, "ASSERT! _findclose() failed.\n");
    }
}

bool NfcPluginLoader::splitFileName(const std::string &path, std::string &extension, std::string &baseName)
{
    const size_t dot = path.rfind('.');
    const size_t separator = path.rfind('\\');
    if (dot == std::string::npos || separator == std::string::npos || dot < separator) {
        return false;
    }
    extension = path.substr(dot + 1);
    baseName = path.substr(separator + 1, dot - separator - 1);
    return true;
}

bool NfcPluginLoader::isPluginFileName(const std::string &path)
{
    std::string lower = path;
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    std::string extension, baseName;
    return splitFileName(lower, extension, baseName) && extension == "gp";
}

bool NfcPluginLoader::bindPluginFunctions(HMODULE module, PluginFunctionTable &functions)
{
    bool complete = true;
    // Every name is looked up, so that the log lists all that a file lacks.
#define NFC_BIND_ENTRY(name, parameters, arguments)                                                    \
    functions.name = reinterpret_cast<name##_t>(reinterpret_cast<void *>(GetProcAddress(module, #name))); \
    if (functions.name == nullptr) {                                                                      \
        NFC_LOG(0, "ERROR! : Failed to get " #name " function.\n");                                      \
        complete = false;                                                                                 \
    }
    GP_ENTRY_POINTS(NFC_BIND_ENTRY)
#undef NFC_BIND_ENTRY
    return complete;
}

void NfcPluginLoader::unloadModule(HMODULE module)
{
    if (!FreeLibrary(module)) {
        NFC_LOG(0, "ASSERT! : FreeLibrary() failed.\n");
    }
}
