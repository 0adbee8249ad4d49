// One tag behind a found target, driven through an exchange function: which kind of NFC Forum
// tag the target information record describes, and identifying it, reading its NDEF message,
// writing one and making it NDEF-ready with the readers and writers of this folder. Pure code:
// the caller passes every command to the reader and hands the answer back through `Exchange`.
//
// Type 2 Tags are read with READ of 16 bytes from page 0 first. Some tags do not know GET_VERSION
// and, asked, fall silent until they are activated again, which an exchange function cannot do:
// so GET_VERSION is asked only once the header shows it helps, namely a capability container of
// vendor 04 (the first serial number byte) with a data area above 144 bytes (every tag of the
// vendor without GET_VERSION is smaller), or a blank tag being made NDEF-ready (its data area size
// comes from the answer). A tag of the vendor 04 and product type 04 family answers FAST_READ,
// which then reads up to LargestFastRead bytes per command (a whole PN532 frame); any other
// answer, or none, leaves READ of 16 bytes. A FAST_READ the reader cannot carry (the exchange
// fails) is tried again with half as many pages, down to HalvedFastReadFloor bytes: readers with
// smaller frames cost one command more, not a failed read. Every other failed exchange ends the
// operation at once. A blank tag without GET_VERSION cannot be made NDEF-ready: after the question
// it no longer answers the writes (no answer to the command A2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Type2TagReader.h"
#include "Type2TagWriter.h"

enum class TagKind : uint32_t {
    Unknown = 0,
    Type2 = 2,
    Type3 = 3,
    Type4 = 4,
};

// What a target information record says about the tag behind it.
struct TagTarget {
    TagKind kind = TagKind::Unknown;
    std::vector<uint8_t> idm;  // Type 3: the NFCID2 the frames carry
};

enum class TagStatus {
    Ok,
    InvalidArgument,    // the record is cut short or its sizes disagree
    UnsupportedTarget,  // a kind of target (or an operation on it) this code does not drive
    NotNdefFormatted,   // no capability container, NDEF application or NDEF service
    ReadOnly,
    TooLarge,           // detail(): the tag's capacity in bytes
    Refused,            // detail(): the NAK, status word or status flags of the refused command
    InvalidTag,         // the tag said something impossible; report() says what
    ExchangeFailed,     // the exchange function returned false
};

struct TagIdentity {
    TagKind kind = TagKind::Unknown;
    size_t capacity = 0;       // most bytes of an NDEF message the tag can hold
    bool writable = false;     // a message can be written; without NDEF: the tag can be made NDEF-ready
    bool ndefPresent = false;  // the tag is NDEF formatted (its message may be empty)
    size_t messageSize = 0;    // bytes of the current message (0: initialised, empty)
};

class TagSession {
public:
    // Command bytes in, answer bytes out; false: no answer came (the caller keeps its reason).
    using Exchange = std::function<bool(const std::vector<uint8_t> &command, std::vector<uint8_t> &response)>;

    static constexpr size_t LargestFastRead = 240;
    static constexpr size_t HalvedFastReadFloor = 60;
    static constexpr uint8_t CommandGetVersion = 0x60;

    // Reads a target information record (the layouts of korvat_nfc.h) of `size` bytes: `size`
    // must cover the fixed part and the variable field the record announces (more is allowed).
    // Type A with an ATS or SEL_RES bit 0x20, and type B: Type 4; type A without either: Type 2;
    // 212 and 424 kbit/s: Type 3. InvalidArgument or UnsupportedTarget with `error`.
    static TagStatus parseTarget(const uint8_t *record, size_t size, TagTarget &target, std::string &error);
    // The data area of a blank Type 2 Tag from its GET_VERSION answer's storage size byte; 48
    // bytes (the smallest tag) when the tag did not answer or the byte is unknown.
    static size_t blankType2DataSize(const std::vector<uint8_t> &version);

    TagSession(const TagTarget &target, Exchange exchange);

    TagStatus identify(TagIdentity &identity);
    // Ok with an empty message: the tag is initialised but holds no message.
    TagStatus readNdef(std::vector<uint8_t> &message);
    // An empty message leaves the tag initialised and empty.
    TagStatus writeNdef(const std::vector<uint8_t> &message);
    // Type 2: a blank tag (capability container all zero) gets an empty NDEF TLV and its
    // capability container; an NDEF-ready one is left as it is. Type 4: NLEN 0 (the message is
    // cleared) where the NDEF file is writable. Type 3: UnsupportedTarget.
    TagStatus format();

    // TooLarge: the capacity; Refused: the NAK (Type 2), status word (Type 4) or status flags
    // (Type 3, first flag in the high byte); 0 otherwise.
    uint32_t detail() const { return m_Detail; }
    const std::string &report() const { return m_Report; }
    // Commands handed to the exchange function since the session began (failed ones included).
    size_t commandsSent() const { return m_Commands; }
    // Type 2, once asked: whether FAST_READ is used, and the largest answer asked for.
    const Type2ReadOptions &type2Options() const { return m_Type2Options; }

private:
    TagStatus fail(TagStatus status, const std::string &report, uint32_t detail = 0);
    bool exchange(const std::vector<uint8_t> &command, std::vector<uint8_t> &response);
    // Sends the driver's commands until it ends; false when an exchange failed.
    template <class Driver>
    bool run(Driver &driver);
    // Type 3 and 4: runs the driver; ExchangeFailed (reported) when an exchange failed.
    template <class Driver>
    TagStatus runTag(Driver &driver);
    // Type 2: makes a driver with the session's read options and runs it, halving FAST_READ.
    template <class Driver, class Make>
    TagStatus runType2(Make make, Driver &driver, bool formatting);
    // Whether GET_VERSION is worth its risk once the tag's memory from page 0 is known this far.
    static bool versionHelps(const std::vector<uint8_t> &memory, bool formatting);
    static const Type2TagReader &type2Reader(const Type2TagReader &reader);
    static const Type2TagReader &type2Reader(const Type2TagWriter &writer);
    // Hands what GET_VERSION told to a reader or writer under way.
    void adoptVersion(Type2TagReader &reader) const;
    void adoptVersion(Type2TagWriter &writer) const;
    void askVersion();
    // What one read of the tag found, for identify and readNdef.
    struct TagRead {
        TagReadOutcome outcome = TagReadOutcome::InvalidTag;
        std::string report;
        std::vector<uint8_t> message;  // with TagReadOutcome::Message
        // The kind; with NDEF its capacity, writability and message size; for a blank Type 2
        // Tag whether it can be made NDEF-ready.
        TagIdentity identity;
        bool blankType2 = false;             // capability container not NDEF: a tag to format
        bool refusedAtFirstCommand = false;  // Type 3 or 4 without the NDEF service or application
    };
    // Runs the reader of the tag's kind; Ok unless an exchange failed or the kind is unknown.
    TagStatus readTag(TagRead &read);
    template <class Reader>
    static void takeOutcome(const Reader &reader, TagRead &read);
    // Refused, or NotNdefFormatted when the first command was refused; detail: the refusal.
    TagStatus refused(bool atFirstCommand, const std::string &report);
    // Writes `message`, or makes the tag NDEF-ready when it is null.
    TagStatus writeOrFormat(const std::vector<uint8_t> *message);
    // The detail of a refused command from its answer.
    uint32_t refusalDetail() const;
    // True when the refused command was the first of a Type 3 or Type 4 session: the NDEF service
    // or application is not there.
    bool refusedAtFirstCommand(size_t commandsBefore) const;
    bool type2Blank(const std::vector<uint8_t> &memory) const;

    TagTarget m_Target;
    Exchange m_Exchange;
    bool m_VersionAsked = false;
    std::vector<uint8_t> m_Version;  // the GET_VERSION answer (empty: none)
    Type2ReadOptions m_Type2Options;
    std::vector<uint8_t> m_LastCommand;
    std::vector<uint8_t> m_LastResponse;
    size_t m_Commands = 0;
    uint32_t m_Detail = 0;
    std::string m_Report;
};
