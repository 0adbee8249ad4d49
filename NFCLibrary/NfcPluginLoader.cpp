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

namespace {

// Text in the system's 8-bit code page (the registry's plug-in directory, a checker argument)
// as wide characters; empty when it does not convert.
std::wstring fromCodePage(const std::string &text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

// The extension is the text after the last ".", the base name the text between the last "\"
// and the last "."; there must be both, in that order.
template <class Text>
bool splitName(const Text &path, Text &extension, Text &baseName)
{
    using Char = typename Text::value_type;
    const size_t dot = path.rfind(static_cast<Char>('.'));
    const size_t separator = path.rfind(static_cast<Char>('\\'));
    if (dot == Text::npos || separator == Text::npos || dot < separator) {
        return false;
    }
    extension = path.substr(dot + 1);
    baseName = path.substr(separator + 1, dot - separator - 1);
    return true;
}

// A name whose extension is "gp", only the letters A to Z taken in either case.
template <class Text>
bool hasPluginExtension(const Text &path)
{
    using Char = typename Text::value_type;
    Text lower = path;
    for (Char &c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<Char>(c - 'A' + 'a');
        }
    }
    Text extension, baseName;
    return splitName(lower, extension, baseName) && extension.size() == 2 && extension[0] == 'g' &&
           extension[1] == 'p';
}

bool fileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION &identity)
{
    return GetFileInformationByHandle(file, &identity) != FALSE;
}

}  // namespace

NfcPluginLoader::NfcPluginLoader() = default;

// Frees the records only; the library unloads the modules first, through uninitialise.
NfcPluginLoader::~NfcPluginLoader() = default;

bool NfcPluginLoader::loadPlugins(std::string home, ErrorInfo *err)
{
    if (err == nullptr) {
        return false;
    }
    if (home.empty() || !isDirectory(fromCodePage(home))) {
        NFC_LOG(0, "ERROR! : Invalid plugins_home_directory.\n");
        err->error_code = KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY;
        return false;
    }
    m_Plugins.clear();

    std::vector<std::wstring> candidates;
    searchPluginFiles(fromCodePage(home), candidates);

    for (const std::wstring &path : candidates) {
        PluginCandidate result;
        std::unique_ptr<PluginInfo> info = loadCandidate(path, m_SignaturePolicy, err, result);
        if (!info) {
            continue;
        }
        const std::string name = gverify_signature::utf8Path(path);
        const PortCategory category = result.category;
        if (m_Plugins.count(category) != 0) {
            unloadModule(info->module);
            NFC_LOG(0, "WARNING! : Tihs category is already registerd(%s:%d).\n", name.c_str(), category);
            continue;
        }
        NFC_LOG(0, "INFORMATION! : Load plugin(%s:%d).\n", name.c_str(), category);
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
    const std::wstring widePath = fromCodePage(path);
    if (widePath.empty() && !path.empty()) {
        NFC_LOG(0, "ASSERT! : mbstowcs_s() failed.\n");
        NFC_LOG(0, "WARNING! : Bad signature(%s). \n", path.c_str());
        result.refusedAt = PluginCandidate::Signature;
        return nullptr;
    }
    return loadCandidate(widePath, policy, err, result);
}

std::unique_ptr<PluginInfo> NfcPluginLoader::loadCandidate(const std::wstring &path,
                                                           gverify_signature::SignaturePolicy policy, ErrorInfo *err,
                                                           PluginCandidate &result)
{
    gverify_signature signature(path.c_str(), policy);
    const std::string traced = signature.tracePath();
    const char *name = traced.c_str();
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
        s_BeforeModuleLoad(traced);
    }
    // The signature object still holds the checked file, so nobody can change it; the path to
    // it is walked again, though, and a directory on the way may have been swapped meanwhile.
    // Hence the module must be the held file, compared by identity before the hold ends (the
    // mapping keeps the file from being written after).
    info->module = LoadLibraryExW(path.c_str(), nullptr, 0);
    const DWORD reason = info->module == nullptr ? GetLastError() : ERROR_SUCCESS;
    const bool sameFile = info->module != nullptr && isModuleOfFile(info->module, signature.heldFile());
    signature.releaseFile();
    if (info->module != nullptr && !sameFile) {
        unloadModule(info->module);
        info->module = nullptr;
        NFC_LOG(0, "WARNING! : Plugin(%s) loaded is not the file checked.\n", name);
        result.loadError = ERROR_FILE_INVALID;
        result.refusedAt = PluginCandidate::Load;
        NFC_LOG(0, "WARNING! : Failed to load Plugin(%s). \n", name);
        return nullptr;
    }
    if (info->module == nullptr) {
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
    bindOptionalFunctions(info->module, info->optional);
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
    wrapper->setOptionalTable(found->second->optional);
    return true;
}

std::vector<PluginPortLister> NfcPluginLoader::portListers() const
{
    std::vector<PluginPortLister> listers;
    for (const auto &entry : m_Plugins) {
        if (entry.second && entry.second->optional.gp_list_ports != nullptr) {
            listers.push_back(PluginPortLister{entry.first, entry.second->optional.gp_list_ports});
        }
    }
    return listers;
}

bool NfcPluginLoader::isDirectory(const std::wstring &path)
{
    std::wstring copy = path;
    if (!copy.empty() && copy.back() == L'\\') {
        copy.pop_back();
    }
    const DWORD attributes = GetFileAttributesW(copy.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void NfcPluginLoader::searchPluginFiles(const std::wstring &directory, std::vector<std::wstring> &list)
{
    searchPluginFiles(directory, list, 0);
}

void NfcPluginLoader::searchPluginFiles(const std::wstring &directory, std::vector<std::wstring> &list, int depth)
{
    std::wstring prefix = directory;
    if (prefix.empty() || prefix.back() != L'\\') {
        prefix += L'\\';
    }
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((prefix + L"*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                NFC_LOG(0, "WARNING! : Directory link not searched(%s).\n",
                        gverify_signature::utf8Path(prefix + name).c_str());
                continue;
            }
            if (depth + 1 >= MaximumSearchDepth) {
                NFC_LOG(0, "WARNING! : Directory too deep, not searched(%s).\n",
                        gverify_signature::utf8Path(prefix + name).c_str());
                continue;
            }
            searchPluginFiles(prefix + name + L"\\", list, depth + 1);
        } else if (isPluginFileName(prefix + name)) {
            list.push_back(prefix + name);
        }
    } while (FindNextFileW(search, &entry));
    if (!FindClose(search)) {
        NFC_LOG(0, "ASSERT! _findclose() failed.\n");
    }
}

bool NfcPluginLoader::splitFileName(const std::string &path, std::string &extension, std::string &baseName)
{
    return splitName(path, extension, baseName);
}

bool NfcPluginLoader::isPluginFileName(const std::string &path)
{
    return hasPluginExtension(path);
}

bool NfcPluginLoader::isPluginFileName(const std::wstring &path)
{
    return hasPluginExtension(path);
}

// Whether the module was mapped from the file held open: the file its name names now has the
// held file's volume serial number and file index. Anything unknown counts as another file.
bool NfcPluginLoader::isModuleOfFile(HMODULE module, HANDLE file)
{
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            NFC_LOG(0, "ASSERT! : GetModuleFileName() failed. GetLastError() = %lu\n",
                    static_cast<unsigned long>(GetLastError()));
            return false;
        }
        if (length < name.size()) {
            break;
        }
        if (name.size() >= 0x8100) {
            NFC_LOG(0, "ASSERT! : GetModuleFileName() failed. GetLastError() = %lu\n",
                    static_cast<unsigned long>(ERROR_INSUFFICIENT_BUFFER));
            return false;
        }
        name.resize(name.size() * 4);
    }
    // Attributes only: no data access, so that the held file's sharing does not refuse it.
    const DWORD anySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE mapped = CreateFileW(name.data(), FILE_READ_ATTRIBUTES, anySharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (mapped == INVALID_HANDLE_VALUE) {
        NFC_LOG(0, "ASSERT! : CreateFile() failed. GetLastError() = %lu\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION held = {}, loaded = {};
    const bool known = fileIdentity(file, held) && fileIdentity(mapped, loaded);
    if (!known) {
        NFC_LOG(0, "ASSERT! : GetFileInformationByHandle() failed. GetLastError() = %lu\n",
                static_cast<unsigned long>(GetLastError()));
    }
    if (!CloseHandle(mapped)) {
        NFC_LOG(0, "ASSERT! : CloseHandle() failed.\n");
    }
    return known && held.dwVolumeSerialNumber == loaded.dwVolumeSerialNumber &&
           held.nFileIndexHigh == loaded.nFileIndexHigh && held.nFileIndexLow == loaded.nFileIndexLow;
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

void NfcPluginLoader::bindOptionalFunctions(HMODULE module, PluginOptionalTable &optional)
{
#define NFC_BIND_OPTIONAL(name, parameters, arguments)                                                   \
    optional.name = reinterpret_cast<name##_t>(reinterpret_cast<void *>(GetProcAddress(module, #name))); \
    if (optional.name != nullptr) {                                                                       \
        NFC_LOG(0, "INFORMATION! : The plug-in offers " #name ".\n");                                  \
    }
    GP_OPTIONAL_ENTRY_POINTS(NFC_BIND_OPTIONAL)
#undef NFC_BIND_OPTIONAL
}

void NfcPluginLoader::unloadModule(HMODULE module)
{
    if (!FreeLibrary(module)) {
        NFC_LOG(0, "ASSERT! : FreeLibrary() failed.\n");
    }
}
