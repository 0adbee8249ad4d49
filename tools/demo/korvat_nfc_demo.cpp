// korvat_nfc_demo: the whole road of an application through korvat_nfc_library_for_vb.dll and
// korvat_nfc_tags.dll, written as a customer's program would be: the public headers, the DLLs'
// import libraries, a message-only window for the library's messages.
//
//   korvat_nfc_demo [--port NAME] [--targets a,b,f,f424] [--seconds N] [--log FILE]
//                   [--write-uri URL | --write-text LANG:TEXT]
//
// It initialises the library, opens the port (NAME, or the first configured port), polls for
// the chosen kinds of target for N seconds, prints every target found, starts device access
// when the library says the target is waiting or enabled, identifies the tag and reads its NDEF
// message with the tag library (NFC Forum Type 2 and Type 4 Tags over ISO/IEC 14443 A or B, Type 3
// Tags over ISO/IEC 18092 212/424 kbit/s), prints its records with the tag library's walk calls,
// then stops, closes and uninitialises. With --write-uri or --write-text it writes that message to
// the first writable tag found and reads it back.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "NfcErrorCodes.h"
#include "korvat_nfc.h"
#include "korvat_nfc_tags.h"

namespace {

const char FindMessageName[] = "KorvatNfcDemo.TargetFound";
const char EnableMessageName[] = "KorvatNfcDemo.TargetAccess";

struct Options {
    std::string port;  // empty: the first configured port
    uint32_t targets = DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_14443B_106K | DEVICE_TYPE_NFC_18092_212K;
    unsigned seconds = 6;
    std::string logFile;
    std::vector<uint8_t> message;  // to write; empty: read only
    std::string messageText;       // what --write-uri or --write-text said
};

// ---------------------------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------------------------

DWORD g_PollStart = 0;

void stamp()
{
    const DWORD elapsed = GetTickCount() - g_PollStart;
    std::printf("[%2lu.%03lu s] ", static_cast<unsigned long>(elapsed / 1000), static_cast<unsigned long>(elapsed % 1000));
}

std::string hex(const uint8_t *bytes, size_t length)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += pair;
    }
    return length == 0 ? "(none)" : text;
}

// Codes the libraries do not define come from the reader plug-in, which documents them.
const char *errorName(uint32_t code)
{
    const NfcErrorCode *known = NfcErrorCodes::find(code);
    return known != nullptr ? known->name : "reader plug-in error";
}

void printErrorPair(uint32_t code, uint32_t detail)
{
    std::printf("%s (0x%08X), detail 0x%08X\n", errorName(code), code, detail);
}

void printFailure(const char *call)
{
    uint32_t error[2] = {0, 0};
    korvatlib_nfc_get_last_error(error);
    std::printf("           %s failed: ", call);
    printErrorPair(error[0], error[1]);
}

// A failed call of the tag library: its own pair, or the main library's when an exchange failed.
void printTagFailure(const char *call)
{
    uint32_t error[2] = {0, 0};
    korvatlib_tags_get_last_error(error);
    std::printf("           %s failed: ", call);
    printErrorPair(error[0], error[1]);
}

// ---------------------------------------------------------------------------------------------
// Target information records
// ---------------------------------------------------------------------------------------------

struct Target {
    std::vector<uint8_t> record;  // a copy: the tag library identifies the tag by it
    bool accessStarted = false;
};

std::map<uint32_t, Target> g_Targets;
unsigned g_TargetsFound = 0;
unsigned g_MessagesRead = 0;
// --write-uri / --write-text: the message, and how the write went.
std::vector<uint8_t> g_ToWrite;
bool g_WriteTried = false;
bool g_WriteReadBack = false;

// Copies what the record holds at once: the library frees it with its next find message.
void printTargetRecord(const uint8_t *record)
{
    uint32_t targetDevice;
    std::memcpy(&targetDevice, record, sizeof(targetDevice));
    Target target;
    uint32_t number = 0;
    size_t size = 0;
    stamp();
    if (targetDevice == DEVICE_TYPE_NFC_14443A_18092_106K) {
        const auto *a = reinterpret_cast<const DEVICE_DATA_NFC_14443A_18092_106K *>(record);
        number = a->target_number;
        size = KORVAT_NFC_14443A_RECORD_SIZE(a->ATS_size);
        std::printf("find: target %u, ISO/IEC 14443 A / ISO/IEC 18092 106 kbit/s (target_device %u)\n", number,
                    targetDevice);
        std::printf("           SENS_RES %04X  SEL_RES %02X\n", a->sens_res, a->sel_res);
        std::printf("           NFCID1   %s\n", hex(a->NFCID1, a->NFCID1_size <= 10 ? a->NFCID1_size : 10).c_str());
        std::printf("           ATS      %s\n", hex(a->ATS, a->ATS_size).c_str());
    } else if (targetDevice == DEVICE_TYPE_NFC_14443B_106K) {
        const auto *b = reinterpret_cast<const DEVICE_DATA_NFC_14443B_106K *>(record);
        number = b->target_number;
        size = KORVAT_NFC_14443B_RECORD_SIZE(b->ATTRIB_size);
        std::printf("find: target %u, ISO/IEC 14443 B 106 kbit/s (target_device %u)\n", number, targetDevice);
        std::printf("           ATQB     %s\n", hex(b->ATQB, sizeof(b->ATQB)).c_str());
        std::printf("           PUPI     %s\n", hex(b->ATQB + 1, 4).c_str());
        std::printf("           ATTRIB   %s\n", hex(b->ATTRIB, b->ATTRIB_size).c_str());
    } else if (targetDevice == DEVICE_TYPE_NFC_18092_212K || targetDevice == DEVICE_TYPE_NFC_18092_424K) {
        const auto *f = reinterpret_cast<const DEVICE_DATA_NFC_18092_212_424K *>(record);
        number = f->target_number;
        size = KORVAT_NFC_18092_RECORD_SIZE(f->RD_size);
        std::printf("find: target %u, ISO/IEC 18092 %s kbit/s (target_device %u, id %u)\n", number,
                    targetDevice == DEVICE_TYPE_NFC_18092_212K ? "212" : "424", targetDevice, f->id);
        std::printf("           NFCID2   %s\n", hex(f->NFCID2, sizeof(f->NFCID2)).c_str());
        std::printf("           PAD      %s\n", hex(f->Pad, sizeof(f->Pad)).c_str());
        std::printf("           RD       %s\n", hex(f->RD, f->RD_size).c_str());
    } else {
        std::printf("find: target of unknown kind (target_device %u)\n", targetDevice);
        return;
    }
    target.record.assign(record, record + size);
    g_Targets[number] = target;
    ++g_TargetsFound;
}

// ---------------------------------------------------------------------------------------------
// Tags, through korvat_nfc_tags.dll
// ---------------------------------------------------------------------------------------------

// Printable text of bytes from a tag: control characters would garble a terminal.
std::string printable(const char *text, size_t length)
{
    std::string shown(text, length);
    for (char &c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '.';
        }
    }
    return shown;
}

// One line for a record: a URI, a text with its language, or its TNF, type and payload.
std::string describeRecord(const std::vector<uint8_t> &message, uint32_t index)
{
    const uint32_t size = static_cast<uint32_t>(message.size());
    KORVAT_NDEF_RECORD record;
    std::vector<uint8_t> payload(message.size());
    if (!korvatlib_tags_ndef_get_record(message.data(), size, index, &record, payload.data(), size)) {
        return "(cannot be read)";
    }
    std::string line;
    // A URI prefix adds at most 26 bytes, UTF-16 text turned into UTF-8 grows by half at most.
    std::vector<char> text(message.size() * 2 + 64);
    uint32_t textSize = 0;
    char language[64];
    if (korvatlib_tags_ndef_get_uri(message.data(), size, index, text.data(), static_cast<uint32_t>(text.size()),
                                    &textSize)) {
        line = "URI  " + printable(text.data(), textSize);
    } else if (korvatlib_tags_ndef_get_text(message.data(), size, index, language, sizeof(language), text.data(),
                                            static_cast<uint32_t>(text.size()), &textSize)) {
        line = "text [" + printable(language, std::strlen(language)) + "] \"" + printable(text.data(), textSize) + "\"";
    } else if (record.tnf == KORVAT_NDEF_TNF_EMPTY) {
        line = "empty record";
    } else {
        line = "TNF " + std::to_string(record.tnf) + ", type \"" +
               printable(reinterpret_cast<const char *>(record.type), record.type_size) + "\", " +
               std::to_string(record.payload_size) + " payload bytes: " + hex(payload.data(), record.payload_size);
    }
    if (record.chunk_count > 1) {
        line += " (" + std::to_string(record.chunk_count) + " chunks)";
    }
    return line;
}

void printNdefMessage(const std::vector<uint8_t> &message)
{
    std::printf("           NDEF message, %u bytes:\n", static_cast<unsigned>(message.size()));
    uint32_t count = 0;
    if (!korvatlib_tags_ndef_record_count(message.data(), static_cast<uint32_t>(message.size()), &count)) {
        uint32_t error[2] = {0, 0};
        korvatlib_tags_get_last_error(error);
        std::printf("             invalid NDEF message: the fault is at byte %u\n", error[1]);
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::printf("             record %u: %s\n", i + 1, describeRecord(message, i).c_str());
    }
}

const char *tagName(uint32_t type)
{
    switch (type) {
    case KORVAT_TAG_TYPE_2: return "Type 2 Tag";
    case KORVAT_TAG_TYPE_3: return "Type 3 Tag";
    case KORVAT_TAG_TYPE_4: return "Type 4 Tag";
    default: return "tag of unknown type";
    }
}

// True: `message` holds the tag's NDEF message (empty: initialised, no message).
bool readMessage(const Target &target, std::vector<uint8_t> &message)
{
    uint32_t size = 0;
    message.assign(65536, 0);
    if (!korvatlib_tags_read_ndef(target.record.data(), static_cast<uint32_t>(target.record.size()), message.data(),
                                  static_cast<uint32_t>(message.size()), &size)) {
        printTagFailure("korvatlib_tags_read_ndef");
        message.clear();
        return false;
    }
    message.resize(size);
    return true;
}

// Writes the message of --write-uri / --write-text and reads it back.
void writeAndReadBack(const Target &target)
{
    g_WriteTried = true;
    if (!korvatlib_tags_write_ndef(target.record.data(), static_cast<uint32_t>(target.record.size()), g_ToWrite.data(),
                                   static_cast<uint32_t>(g_ToWrite.size()))) {
        printTagFailure("korvatlib_tags_write_ndef");
        return;
    }
    std::printf("           korvatlib_tags_write_ndef(%u bytes) ok\n", static_cast<unsigned>(g_ToWrite.size()));
    std::vector<uint8_t> back;
    if (!readMessage(target, back)) {
        return;
    }
    g_WriteReadBack = back == g_ToWrite;
    std::printf("           read back: %s\n", g_WriteReadBack ? "the message written" : "a message that differs");
    printNdefMessage(back);
    ++g_MessagesRead;
}

void readTag(const Target &target)
{
    KORVAT_TAG_INFO info;
    if (!korvatlib_tags_identify(target.record.data(), static_cast<uint32_t>(target.record.size()), &info)) {
        printTagFailure("korvatlib_tags_identify");
        return;
    }
    if (!info.ndef_present) {
        std::printf("           %s without NDEF%s\n", tagName(info.tag_type),
                    info.writable ? " (korvatlib_tags_format can make it NDEF-ready)" : "");
    } else {
        std::printf("           %s, NDEF message of %u bytes, capacity %u bytes, %s\n", tagName(info.tag_type),
                    info.message_size, info.capacity, info.writable ? "writable" : "read-only");
    }
    if (!g_ToWrite.empty() && !g_WriteTried && info.writable && info.ndef_present) {
        writeAndReadBack(target);
        return;
    }
    std::vector<uint8_t> message;
    if (!info.ndef_present || !readMessage(target, message)) {
        return;
    }
    if (message.empty()) {
        std::printf("           the tag is initialised but holds no NDEF message\n");
        return;
    }
    printNdefMessage(message);
    ++g_MessagesRead;
}

// ---------------------------------------------------------------------------------------------
// The library's messages
// ---------------------------------------------------------------------------------------------

void onFind(WPARAM wParam, LPARAM lParam)
{
    if (wParam == KORVAT_NFC_FIND_TARGET) {
        printTargetRecord(reinterpret_cast<const uint8_t *>(lParam));
    } else {
        const uint32_t *pair = reinterpret_cast<const uint32_t *>(lParam);
        stamp();
        std::printf("find: the reader reports ");
        printErrorPair(pair[0], pair[1]);
    }
}

bool startAccess(uint32_t number, Target &target)
{
    if (!korvatlib_nfc_start_dev_access(number)) {
        printFailure("korvatlib_nfc_start_dev_access");
        return false;
    }
    std::printf("           korvatlib_nfc_start_dev_access(%u) ok\n", number);
    target.accessStarted = true;
    return true;
}

void onEnable(WPARAM wParam, LPARAM lParam)
{
    const uint32_t number = static_cast<uint32_t>(lParam);
    stamp();
    auto found = g_Targets.find(number);
    if (found == g_Targets.end()) {
        std::printf("enable: target %u, which was not reported found\n", number);
        return;
    }
    Target &target = found->second;
    if (wParam == WAITING_ACCESS_TO_TARGET) {
        std::printf("enable: target %u is waiting for access\n", number);
        if (!target.accessStarted) {
            startAccess(number, target);
        }
        return;
    }
    std::printf("enable: access to target %u enabled\n", number);
    // Some readers enable access without waiting for the application.
    if (!target.accessStarted && !startAccess(number, target)) {
        return;
    }
    readTag(target);
    if (korvatlib_nfc_stop_dev_access(0)) {
        std::printf("           korvatlib_nfc_stop_dev_access(0) ok\n");
    } else {
        printFailure("korvatlib_nfc_stop_dev_access");
    }
    g_Targets.erase(found);
}

// ---------------------------------------------------------------------------------------------
// The road
// ---------------------------------------------------------------------------------------------

void usage()
{
    std::fprintf(stderr,
                 "usage: korvat_nfc_demo [--port NAME] [--targets a,b,f,f424] [--seconds N] [--log FILE]\n"
                 "                       [--write-uri URL | --write-text LANG:TEXT]\n"
                 "  --port NAME      port to open (default: the first port of port_name_list that opens)\n"
                 "  --targets LIST   kinds of target to poll for: a (ISO/IEC 14443 A), b (ISO/IEC 14443 B),\n"
                 "                   f (ISO/IEC 18092 212 kbit/s), f424 (424 kbit/s); default a,b,f\n"
                 "  --seconds N      how long to poll (default 6)\n"
                 "  --log FILE       write the library's normal log to FILE\n"
                 "  --write-uri URL  write a URI record to the first writable tag found and read it back\n"
                 "  --write-text LANG:TEXT  the same with a Text record (LANG such as en or pt-BR)\n");
}

bool parseTargets(const std::string &list, uint32_t &targets)
{
    targets = 0;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item == "a") {
            targets |= DEVICE_TYPE_NFC_14443A_18092_106K;
        } else if (item == "b") {
            targets |= DEVICE_TYPE_NFC_14443B_106K;
        } else if (item == "f") {
            targets |= DEVICE_TYPE_NFC_18092_212K;
        } else if (item == "f424") {
            targets |= DEVICE_TYPE_NFC_18092_424K;
        } else {
            return false;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return targets != 0;
}

bool parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (option == "--port") {
            if (value.empty() || value.size() > 15) {
                return false;
            }
            options.port = value;
        } else if (option == "--targets") {
            if (!parseTargets(value, options.targets)) {
                return false;
            }
        } else if (option == "--seconds") {
            char *end = nullptr;
            const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || seconds > 3600) {
                return false;
            }
            options.seconds = static_cast<unsigned>(seconds);
        } else if (option == "--log") {
            options.logFile = value;
        } else if ((option == "--write-uri" || option == "--write-text") && options.message.empty()) {
            // The message is built by the tag library; what it refuses is a bad option.
            std::vector<uint8_t> message(65536);
            uint32_t size = 0;
            const size_t colon = value.find(':');
            const bool built =
                option == "--write-uri"
                    ? korvatlib_tags_ndef_add_uri(message.data(), static_cast<uint32_t>(message.size()), &size, value.c_str())
                    : colon != std::string::npos &&
                          korvatlib_tags_ndef_add_text(message.data(), static_cast<uint32_t>(message.size()), &size,
                                                       value.substr(0, colon).c_str(), value.c_str() + colon + 1);
            if (!built) {
                return false;
            }
            options.message.assign(message.begin(), message.begin() + size);
            options.messageText = option + " " + value;
        } else {
            return false;
        }
    }
    return true;
}

std::string targetNames(uint32_t targets)
{
    std::string names;
    const std::pair<uint32_t, const char *> kinds[] = {
        {DEVICE_TYPE_NFC_14443A_18092_106K, "a"},
        {DEVICE_TYPE_NFC_14443B_106K, "b"},
        {DEVICE_TYPE_NFC_18092_212K, "f"},
        {DEVICE_TYPE_NFC_18092_424K, "f424"},
    };
    for (const auto &kind : kinds) {
        if (targets & kind.first) {
            names += names.empty() ? "" : ",";
            names += kind.second;
        }
    }
    return names;
}

void pumpMessages(DWORD milliseconds, UINT findMessage, UINT enableMessage)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == findMessage) {
                onFind(msg.wParam, msg.lParam);
            } else if (msg.message == enableMessage) {
                onEnable(msg.wParam, msg.lParam);
            } else {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

// Runs one call of the road and prints its outcome.
bool step(const char *call, KORVAT_NFC_BOOL result)
{
    if (result) {
        std::printf("           %s ok\n", call);
        return true;
    }
    printFailure(call);
    return false;
}

int run(const Options &options)
{
    bool ok = true;
    bool logging = false;
    if (!options.logFile.empty()) {
        // The library takes absolute names only.
        char path[MAX_PATH];
        const DWORD n = GetFullPathNameA(options.logFile.c_str(), MAX_PATH, path, nullptr);
        const std::string absolute = n > 0 && n < MAX_PATH ? path : options.logFile;
        logging = step(("korvatlib_nfc_start_logging(\"" + absolute + "\")").c_str(),
                       korvatlib_nfc_start_logging(absolute.c_str()));
        ok = logging;
    }

    // A message-only window: it needs no display and receives the library's posted messages.
    HWND window = CreateWindowExA(0, "STATIC", "korvat_nfc_demo", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    const UINT findMessage = RegisterWindowMessageA(FindMessageName);
    const UINT enableMessage = RegisterWindowMessageA(EnableMessageName);
    if (window == nullptr || findMessage == 0 || enableMessage == 0) {
        std::printf("           cannot make the message window (error %lu)\n", GetLastError());
        return 1;
    }

    if (ok && step("korvatlib_nfc_initialize()", korvatlib_nfc_initialize())) {
        char port[16] = "";  // empty: the library writes back the name of the port it opened
        std::strcpy(port, options.port.c_str());
        const std::string openCall = "korvatlib_nfc_open(\"" + options.port + "\")";
        if (step(openCall.c_str(), korvatlib_nfc_open(port))) {
            std::printf("           port %s is open\n", port);
            ok = step("korvatlib_nfc_set_poll_callback_parameters()",
                      korvatlib_nfc_set_poll_callback_parameters(window, FindMessageName, EnableMessageName));
            char startCall[96];
            std::snprintf(startCall, sizeof(startCall), "korvatlib_nfc_start_poll_mode(0x%08X: %s)", options.targets,
                          targetNames(options.targets).c_str());
            g_ToWrite = options.message;
            if (ok && step(startCall, korvatlib_nfc_start_poll_mode(options.targets))) {
                std::printf("           polling for %u s\n", options.seconds);
                g_PollStart = GetTickCount();
                pumpMessages(options.seconds * 1000, findMessage, enableMessage);
                stamp();
                std::printf("time is up\n");
                ok = step("korvatlib_nfc_stop_poll_mode()", korvatlib_nfc_stop_poll_mode()) && ok;
            } else {
                ok = false;
            }
            ok = step("korvatlib_nfc_close()", korvatlib_nfc_close()) && ok;
        } else {
            ok = false;
        }
        ok = step("korvatlib_nfc_uninitialize()", korvatlib_nfc_uninitialize()) && ok;
    } else {
        ok = false;
    }
    if (logging) {
        ok = step("korvatlib_nfc_stop_logging()", korvatlib_nfc_stop_logging()) && ok;
    }
    DestroyWindow(window);
    const bool written = options.message.empty() || g_WriteReadBack;
    if (!options.message.empty() && !g_WriteTried) {
        std::printf("           no writable tag was found for %s\n", options.messageText.c_str());
    }
    std::printf("%u target(s) found, %u NDEF message(s) read%s\n", g_TargetsFound, g_MessagesRead,
                !ok ? "; some calls failed" : !written ? "; the message was not written and read back" : "");
    return ok && written ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    // Unbuffered, with plain "\n": the transcript reads the same on a console, in a file and
    // through a pipe, and nothing is lost if the program is stopped.
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage();
        return 2;
    }
    std::printf("korvat_nfc_demo: port %s, targets %s, %u s%s%s%s%s\n",
                options.port.empty() ? "(first configured)" : options.port.c_str(),
                targetNames(options.targets).c_str(), options.seconds, options.logFile.empty() ? "" : ", log ",
                options.logFile.c_str(), options.messageText.empty() ? "" : ", ", options.messageText.c_str());
    return run(options);
}
