// korvat_nfc_plugin_check: tells a plug-in author, before shipping, whether a reader plug-in keeps
// the contract of the plug-in interface. The file checks use the library's own code through
// NfcCheckerInterface (the loader's candidate check and binder, the signer check, the registry
// readers); the session with a port goes through the library's wrapper. Exit code 0 only when no check failed.
#include <windows.h>
#include <wincrypt.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CheckReport.h"
#include "GuardedBuffer.h"
#include "LifetimeCheck.h"
#include "LifetimeChild.h"
#include "OptionalEntryCheck.h"
#include "NfcCheckerInterface.h"
#include "PeImageInfo.h"
#include "PluginSession.h"

#ifdef _WIN64
static const char CheckerArchitecture[] = "x64";
#else
static const char CheckerArchitecture[] = "x86";
#endif

namespace {

const int ExitPassed = 0;
const int ExitFailed = 1;
const int ExitUsage = 2;
// Nothing failed, but the lifetime steps could not be run: no verdict on the contract.
const int ExitNotConfirmed = 3;

// What the user must do so that the lifetime steps can run.
std::string lifetimeConfiguration(const std::string &plugin, const std::string &port)
{
    const size_t slash = plugin.find_last_of("\\/");
    const std::string directory = slash == std::string::npos ? "." : plugin.substr(0, slash);
    return "to run them, let the library load this plug-in for port \"" + port +
           "\": set plugins_home_directory (HKEY_LOCAL_MACHINE\\SOFTWARE\\Ravo Corporation\\Korvat NFC "
           "Library) to \"" + directory +
           "\" with no other plug-in of its category there, name the category in category_name_list so that the "
           "port name begins with it, and run the checker again (the WARN lines of the lifetime steps say what was "
           "missing)";
}

struct Options {
    bool json = false;
    bool policyGiven = false;
    NfcCheckerInterface::SignaturePolicy policy = NfcCheckerInterface::PolicyName;
    std::string file;
    SessionOptions session;
    bool lifetime = true;
    DWORD lifetimeBoundMs = 10000;
    const LifetimeStep *childStep = nullptr;  // set in a child process that runs one lifetime step
};

void usage(FILE *out)
{
    std::fprintf(out,
                 "usage: korvat_nfc_plugin_check [options] <plug-in.gp> [port name]\n"
                 "  --json                 print the report as JSON\n"
                 "  --policy name|digest|chain\n"
                 "                         signature policy of the acceptance check (default: the\n"
                 "                         registry's plugin_signature_policy)\n"
                 "  --status-calls N       gp_get_driver_status calls in the session (default 10)\n"
                 "  --interval-ms N        pause between them (default 100)\n"
                 "  --status-bound-ms N    longest acceptable gp_get_driver_status (default 100)\n"
                 "  --response-buffer N    bytes offered to gp_read, 1..65535 (default 4096)\n"
                 "  --thru HEX             command sent with gp_read (default: by the target's kind)\n"
                 "  --target-device N      gp_start_poll_mode's target_device (default 15)\n"
                 "  --lifetime-bound-ms N  longest wait for a lifetime step's FreeLibrary or exit (default\n"
                 "                         10000; the loader-lock step waits at least 5000)\n"
                 "  --no-lifetime          skip the lifetime steps\n"
                 "With a port name the plug-in's port is opened and driven, then the library is made to\n"
                 "unload and exit with the plug-in in use (each in a child process); without one only the\n"
                 "file and its loading are checked. The lifetime steps need the library to load the\n"
                 "plug-in for the port: plugins_home_directory names its directory, category_name_list\n"
                 "its category.\n"
                 "Exit code: 0 nothing failed (and, with a port, every lifetime step ran); 1 a check\n"
                 "failed; 2 usage; 3 nothing failed, but lifetime steps could not be run, so the plug-in\n"
                 "is not known to keep the contract (the summary says how to configure them).\n");
}

bool parseNumber(const char *text, unsigned long minimum, unsigned long maximum, unsigned long &value)
{
    char *end = nullptr;
    value = std::strtoul(text, &end, 0);
    return end != text && *end == '\0' && value >= minimum && value <= maximum;
}

bool parseHex(const char *text, std::vector<uint8_t> &bytes)
{
    std::string digits;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == ' ' || *p == ':') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        digits += *p;
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 > 0xFFFF) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

bool parseArguments(int argc, char **argv, Options &options)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long n = 0;
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--policy" && hasValue) {
            bool known = false;
            options.policy = NfcCheckerInterface::parsePolicy(argv[++i], &known);
            options.policyGiven = true;
            if (!known) {
                return false;
            }
        } else if (arg == "--status-calls" && hasValue && parseNumber(argv[++i], 1, 10000, n)) {
            options.session.statusCalls = static_cast<int>(n);
        } else if (arg == "--interval-ms" && hasValue && parseNumber(argv[++i], 0, 60000, n)) {
            options.session.intervalMs = static_cast<unsigned>(n);
        } else if (arg == "--status-bound-ms" && hasValue && parseNumber(argv[++i], 1, 600000, n)) {
            options.session.statusBoundMs = static_cast<double>(n);
        } else if (arg == "--response-buffer" && hasValue && parseNumber(argv[++i], 1, 0xFFFF, n)) {
            options.session.responseBuffer = n;
        } else if (arg == "--target-device" && hasValue && parseNumber(argv[++i], 0, 0xFFFFFFFFul, n)) {
            options.session.targetDevice = static_cast<uint32_t>(n);
        } else if (arg == "--thru" && hasValue && parseHex(argv[++i], options.session.thruCommand)) {
        } else if (arg == "--lifetime-bound-ms" && hasValue && parseNumber(argv[++i], 1, 600000, n)) {
            options.lifetimeBoundMs = static_cast<DWORD>(n);
        } else if (arg == "--no-lifetime") {
            options.lifetime = false;
        } else if (arg == LifetimeChild::ChildOption && hasValue) {
            options.childStep = LifetimeChild::find(argv[++i]);
            if (options.childStep == nullptr) {
                return false;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() > 2) {
        return false;
    }
    options.file = positional[0];
    if (positional.size() == 2) {
        options.session.port = positional[1];
    }
    return options.childStep == nullptr || !options.session.port.empty();
}

std::string ownPath()
{
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    return length != 0 && length < sizeof(path) ? std::string(path, length) : std::string();
}

std::string fullPath(const std::string &path)
{
    char buffer[MAX_PATH * 4];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof(buffer), buffer, nullptr);
    return length != 0 && length < sizeof(buffer) ? std::string(buffer, length) : path;
}

bool hasEmbeddedSignature(const std::string &path)
{
    std::wstring wide(path.size() + 1, L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], static_cast<int>(wide.size())) == 0) {
        return false;
    }
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, wide.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr)) {
        return false;
    }
    CertCloseStore(store, 0);
    CryptMsgClose(message);
    return true;
}

// Architecture and kind of the file; false when the library could not load it at all.
bool checkFile(const std::string &path, CheckReport &report)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        report.fail("file.read", "the file cannot be opened");
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!NfcCheckerInterface::isPluginFileName(path)) {
        report.fail("file.name", "the library tries only files whose extension is \"gp\" (any letter case)");
    } else {
        report.pass("file.name", "extension \"gp\"");
    }
    const PeImageInfo image = PeImage::read(bytes.data(), bytes.size());
    if (!image.valid()) {
        report.fail("file.architecture", PeImage::describe(image.error));
        return false;
    }
    const char *architecture = image.architecture() != nullptr ? image.architecture() : "unknown machine";
    const std::string kind = format("%s (machine %04Xh, %s%s)", architecture, image.machine,
                                    image.format() != nullptr ? image.format() : "unknown optional header",
                                    image.isDll() ? " DLL" : ", not a DLL");
    if (!image.isDll()) {
        report.fail("file.architecture", kind + ": a plug-in must be a DLL");
        return false;
    }
    if (image.architecture() == nullptr || std::strcmp(architecture, CheckerArchitecture) != 0 ||
        !image.formatMatchesMachine()) {
        report.fail("file.architecture",
                    format("%s: the %s library cannot load it; a plug-in of another architecture is checked by the "
                           "korvat_nfc_plugin_check of that architecture",
                           kind.c_str(), CheckerArchitecture));
        return false;
    }
    report.pass("file.architecture", kind + ", the architecture of this checker and its library");
    return true;
}

void checkSignature(const std::string &path, CheckReport &report)
{
    if (NfcCheckerInterface::verifySignature(path, NfcCheckerInterface::PolicyName)) {
        report.pass("signature.signer", format("first signer is \"%s\"", NfcCheckerInterface::expectedSigner()));
    } else if (!hasEmbeddedSignature(path)) {
        report.fail("signature.signer", "no embedded Authenticode signature: the library skips unsigned files");
        report.warn("signature.digest", "not checked: the file is not signed");
        return;
    } else {
        report.fail("signature.signer",
                    format("signed, but the first signer's name is not \"%s\"", NfcCheckerInterface::expectedSigner()));
        report.warn("signature.digest", "not checked: the signer is not the expected one");
        return;
    }
    if (NfcCheckerInterface::verifySignature(path, NfcCheckerInterface::PolicyDigest)) {
        report.pass("signature.digest", "the signature's digest matches the file");
    } else {
        report.fail("signature.digest", "the file was changed after signing: its signature's digest no longer "
                                        "matches (refused under plugin_signature_policy digest and chain); sign it "
                                        "again");
    }
}

std::string acceptanceReason(const PluginCandidate &candidate)
{
    switch (candidate.refusedAt) {
    case PluginCandidate::Signature:
        return "refused at the signer check";
    case PluginCandidate::Memory:
        return "refused: out of memory";
    case PluginCandidate::Load:
        return candidate.loadError == ERROR_BAD_EXE_FORMAT
                   ? format("refused: LoadLibrary failed with error %lu, not a module of this architecture (%s)",
                            static_cast<unsigned long>(candidate.loadError), CheckerArchitecture)
                   : format("refused: LoadLibrary failed with error %lu",
                            static_cast<unsigned long>(candidate.loadError));
    case PluginCandidate::Bind:
        return "refused: an entry point is missing";
    case PluginCandidate::Version:
        return format("refused: gp_get_version_number gave %d, below %d or answered false",
                      static_cast<int>(candidate.version), GP_MINIMUM_VERSION);
    case PluginCandidate::Category:
        return "refused: gp_get_plugin_information answered false";
    default:
        return format("accepted: version %d, category %u", static_cast<int>(candidate.version), candidate.category);
    }
}

// The plug-in's own answers when loading: version and category, each out-value placed at the end
// of a guarded page so that a read or a write past it is caught and named. These are the first
// calls into the plug-in: the loader's candidate check makes the same calls unguarded, into
// values on its stack. False when a call went past its out-value.
bool checkLoadingAnswers(const PluginFunctionTable &functions, const std::vector<std::string> &categories,
                         CheckReport &report, int &category)
{
    bool clean = true;
    int falseWithRecord = 0;
    if (functions.gp_get_version_number != nullptr) {
        GuardedBuffer slot(sizeof(int32_t));
        int32_t version = 0;
        bool result = false;
        std::string beyond;
        if (slot.ready()) {
            std::memset(slot.data(), 0, sizeof(int32_t));
            GuardedBuffer::Watch watch(slot);
            result = functions.gp_get_version_number(reinterpret_cast<int32_t *>(slot.data())) != 0;
            beyond = watch.describe();
            std::memcpy(&version, slot.data(), sizeof(version));
        }
        if (!beyond.empty()) {
            clean = false;
            report.fail("plugin.version", "gp_get_version_number " + beyond + " of its 32-bit version");
        } else if (!result) {
            report.fail("plugin.version", "gp_get_version_number answered false");
        } else if (version < GP_MINIMUM_VERSION) {
            report.fail("plugin.version", format("version %d, below %d", static_cast<int>(version), GP_MINIMUM_VERSION));
        } else {
            report.pass("plugin.version", format("version %d", static_cast<int>(version)));
        }
    }
    if (functions.gp_get_plugin_information != nullptr) {
        GuardedBuffer slot(1);
        ErrorInfo record = {PluginSession::SentinelCode, PluginSession::SentinelDetail};
        bool result = false;
        std::string beyond;
        if (slot.ready()) {
            slot.data()[0] = 0;
            GuardedBuffer::Watch watch(slot);
            result = functions.gp_get_plugin_information(slot.data(), &record) != 0;
            beyond = watch.describe();
        }
        PluginSession::checkRecord("gp_get_plugin_information", result, record, report, falseWithRecord);
        if (!beyond.empty()) {
            clean = false;
            report.fail("plugin.category", "gp_get_plugin_information " + beyond + " of its one PortCategory byte");
        }
        if (!result) {
            report.fail("plugin.category", "gp_get_plugin_information answered false " +
                                               PluginSession::recordText(record));
            return clean;
        }
        category = slot.data()[0];
        if (static_cast<size_t>(category) < categories.size() && !categories[category].empty()) {
            report.pass("plugin.category", format("category %d, \"%s\" in category_name_list", category,
                                                  categories[category].c_str()));
        } else {
            report.warn("plugin.category", format("category %d has no name in this machine's category_name_list: "
                                                  "no port name reaches the plug-in",
                                                  category));
        }
    }
    return clean;
}

// The category the library would open the port with: the first listed name it begins with.
int portCategory(const std::string &port, const std::vector<std::string> &categories)
{
    for (size_t i = 0; i < categories.size(); ++i) {
        if (!categories[i].empty() && port.compare(0, categories[i].size(), categories[i]) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The library's verdict on the file, as its loader gives it at initialise.
void checkAcceptance(const Options &options, const std::string &path, bool firstCallsClean, CheckReport &report,
                     HMODULE &accepted)
{
    const NfcCheckerInterface::SignaturePolicy policy =
        options.policyGiven ? options.policy : NfcCheckerInterface::signaturePolicyFromRegistry();
    const std::string policySuffix = format(" (plugin_signature_policy %s%s)", NfcCheckerInterface::policyName(policy),
                                            options.policyGiven ? ", from --policy" : "");
    if (!firstCallsClean) {
        // The loader would make the same calls with its out-values on its own stack.
        report.fail("library.accepts", "not tried: gp_get_version_number or gp_get_plugin_information reads or "
                                       "writes past its out-value, which the loader keeps on its stack" +
                                           policySuffix);
        return;
    }
    ErrorInfo loadRecord = {PluginSession::SentinelCode, PluginSession::SentinelDetail};
    PluginCandidate candidate;
    accepted = NfcCheckerInterface::loadCandidate(path, policy, &loadRecord, candidate);
    const std::string acceptance = acceptanceReason(candidate) + policySuffix;
    if (accepted != nullptr) {
        report.pass("library.accepts", acceptance);
    } else {
        report.fail("library.accepts", acceptance);
    }
}

int run(const Options &options)
{
    CheckReport report;
    const std::string path = fullPath(options.file);
    report.subject(path, options.session.port, CheckerArchitecture);

    const bool loadable = checkFile(path, report);
    checkSignature(path, report);

    // The plug-in's first calls are the checker's own, guarded ones; the loader's candidate check
    // (which makes the same calls unguarded) comes after them.
    HMODULE module = loadable ? LoadLibraryA(path.c_str()) : nullptr;
    if (loadable && module == nullptr) {
        report.fail("file.load", format("LoadLibrary failed with error %lu", static_cast<unsigned long>(GetLastError())));
    }
    PluginFunctionTable functions;
    bool firstCallsClean = true;
    int category = -1;
    const std::vector<std::string> categories = NfcCheckerInterface::categoryNames();
    if (module != nullptr) {
        const bool complete = NfcCheckerInterface::bindPluginFunctions(module, functions);
        int missing = 0;
#define NFC_CHECK_ENTRY(name, parameters, arguments)                        \
        if (functions.name == nullptr) {                                    \
            report.fail("entry." #name, #name " is not exported");          \
            ++missing;                                                      \
        }
        GP_ENTRY_POINTS(NFC_CHECK_ENTRY)
#undef NFC_CHECK_ENTRY
        if (complete && missing == 0) {
            report.pass("entry.points", "all fourteen entry points are exported");
        }
        firstCallsClean = checkLoadingAnswers(functions, categories, report, category);
    }

    HMODULE accepted = nullptr;
    checkAcceptance(options, path, firstCallsClean, report, accepted);

    if (module != nullptr && !options.session.port.empty()) {
        const int served = portCategory(options.session.port, categories);
        if (served < 0) {
            report.warn("port.category", format("no name in category_name_list begins port \"%s\": the library "
                                                "cannot open it; the checker drives the plug-in directly",
                                                options.session.port.c_str()));
        } else if (served != category) {
            report.warn("port.category", format("port \"%s\" belongs to category %d, the plug-in serves %d: the "
                                                "library would not open it with this plug-in",
                                                options.session.port.c_str(), served, category));
        } else {
            report.pass("port.category", format("port \"%s\" belongs to category %d, the plug-in's",
                                                options.session.port.c_str(), served));
        }
        PluginSession session(functions, options.session, report);
        session.run();
        OptionalEntryCheck(module, functions, options.session, report).run();
    }
    if (module != nullptr && !FreeLibrary(module)) {
        report.warn("file.unload", "FreeLibrary failed");
    }
    if (accepted != nullptr) {
        NfcCheckerInterface::unloadModule(accepted);
        // The library itself takes the plug-in to FreeLibrary and process exit, in child processes.
        if (!options.session.port.empty() && options.lifetime) {
            LifetimeOptions lifetime;
            lifetime.checker = ownPath();
            lifetime.plugin = path;
            lifetime.port = options.session.port;
            lifetime.targetDevice = options.session.targetDevice;
            lifetime.boundMs = options.lifetimeBoundMs;
            if (!LifetimeCheck(lifetime, report).run()) {
                report.lifetimeNotRun(lifetimeConfiguration(path, options.session.port));
            }
        }
    } else if (!options.session.port.empty() && options.lifetime) {
        report.warn("lifetime", "not run: the library does not accept the plug-in");
        report.lifetimeNotRun("the library does not accept the plug-in: mend the failures above first");
    }

    if (options.json) {
        report.printJson(stdout);
    } else {
        report.printText(stdout);
    }
    std::fflush(stdout);
    return report.failed() ? ExitFailed : !report.lifetimeRan() ? ExitNotConfirmed : ExitPassed;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseArguments(argc, argv, options)) {
        usage(stderr);
        return ExitUsage;
    }
    if (options.childStep != nullptr) {
        return LifetimeChild::run(*options.childStep, fullPath(options.file), options.session.port,
                                  options.session.targetDevice);
    }
    return run(options);
}
