// The exports of korvat_nfc_tags.dll: argument checks, then one call into the portable core
// (TagSession for tags, NdefBuilder and NdefMessage for messages), then the result in the
// caller's buffers or the error pair. Every failure goes through TagLastError::fail, which
// records and traces it.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "NdefBuilder.h"
#include "NdefMessage.h"
#include "TagLastError.h"
#include "TagMainLibrary.h"
#include "TagSession.h"
#include "korvat_nfc_tags.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The largest answer korvatlib_nfc_thru can report (its length is 16 bits): no plug-in that keeps
// to its own length can write past it.
const size_t ResponseCapacity = 0x10000;

bool fail(const char *call, uint32_t code, uint32_t detail, const std::string &why)
{
    return TagLastError::fail(call, code, detail, why);
}

uint32_t codeOf(TagStatus status)
{
    switch (status) {
    case TagStatus::InvalidArgument: return KORVAT_TAGS_E_INVALID_ARGUMENT;
    case TagStatus::UnsupportedTarget: return KORVAT_TAGS_E_UNSUPPORTED_TARGET;
    case TagStatus::NotNdefFormatted: return KORVAT_TAGS_E_NOT_NDEF_FORMATTED;
    case TagStatus::ReadOnly: return KORVAT_TAGS_E_READ_ONLY;
    case TagStatus::TooLarge: return KORVAT_TAGS_E_TOO_LARGE;
    case TagStatus::Refused: return KORVAT_TAGS_E_REFUSED;
    default: return KORVAT_TAGS_E_INVALID_TAG;
    }
}

// A session with the tag of a target record whose exchanges go through korvatlib_nfc_thru.
class ThruSession {
public:
    explicit ThruSession(const char *call) : m_Call(call) {}

    // False (the error recorded) when the record or the main library is not usable.
    bool open(const uint8_t *record, uint32_t size)
    {
        TagTarget target;
        std::string error;
        const TagStatus parsed = TagSession::parseTarget(record, size, target, error);
        if (parsed != TagStatus::Ok) {
            return fail(m_Call, codeOf(parsed), 0, error);
        }
        // The main DLL is held from here to the end of the call (this object's life).
        m_Main.reset(new TagMainLibrary());
        if (!m_Main->bound()) {
            return fail(m_Call, KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND, 0,
                        "korvat_nfc_library_for_vb.dll is not loaded, not beside korvat_nfc_tags.dll, or lacks "
                        "korvatlib_nfc_thru");
        }
        m_Buffer.resize(ResponseCapacity);
        m_Session.reset(new TagSession(target, [this](const Bytes &command, Bytes &response) {
            return exchange(command, response);
        }));
        return true;
    }

    TagSession &session() { return *m_Session; }

    // Records the error of a failed operation: the main library's pair when an exchange failed.
    bool failed(TagStatus status)
    {
        if (status != TagStatus::ExchangeFailed) {
            return fail(m_Call, codeOf(status), m_Session->detail(), m_Session->report());
        }
        uint32_t pair[2] = {0, 0};
        m_Main->getLastError()(pair);
        return fail(m_Call, pair[0], pair[1], "korvatlib_nfc_thru failed: " + m_Session->report());
    }

private:
    bool exchange(const Bytes &command, Bytes &response)
    {
        uint16_t length = 0;
        if (command.size() > 0xFFFF ||
            !m_Main->thru()(command.data(), static_cast<uint16_t>(command.size()), m_Buffer.data(), &length)) {
            return false;
        }
        response.assign(m_Buffer.begin(), m_Buffer.begin() + length);
        return true;
    }

    const char *m_Call;
    std::unique_ptr<TagMainLibrary> m_Main;  // declared first: released after the session
    Bytes m_Buffer;
    std::unique_ptr<TagSession> m_Session;
};

// Runs `operation` on a session with the tag of a target record; false (the error recorded) when
// the record or the main library is not usable or the operation fails.
template <class Operation>
bool onTag(const char *call, const uint8_t *record, uint32_t size, Operation operation)
{
    ThruSession tag(call);
    if (!tag.open(record, size)) {
        return false;
    }
    const TagStatus status = operation(tag.session());
    return status == TagStatus::Ok || tag.failed(status);
}

// The records of a whole message, chunks joined; false (the error recorded) for an invalid one.
bool parseMessage(const char *call, const uint8_t *message, uint32_t size, std::vector<NdefRecord> &records)
{
    if (message == nullptr && size != 0) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "message is null");
    }
    std::string error;
    size_t offset = 0;
    if (!NdefMessage::parse(message, size, records, error, &offset)) {
        return fail(call, KORVAT_TAGS_E_INVALID_NDEF, static_cast<uint32_t>(offset), error);
    }
    return true;
}

// Record `index` of a valid message.
bool recordAt(const char *call, const uint8_t *message, uint32_t size, uint32_t index, NdefRecord &record)
{
    std::vector<NdefRecord> records;
    if (!parseMessage(call, message, size, records)) {
        return false;
    }
    if (index >= records.size()) {
        return fail(call, KORVAT_TAGS_E_NO_SUCH_RECORD, 0,
                    "record " + std::to_string(index) + " of a message of " + std::to_string(records.size()));
    }
    record = records[index];
    return true;
}

// Copies `text` with its NUL, or fails with the bytes it needs (set in *size too).
bool putString(const char *call, const std::string &text, char *buffer, uint32_t capacity, uint32_t *size)
{
    if (text.size() + 1 > capacity || buffer == nullptr) {
        const uint32_t needed = static_cast<uint32_t>(text.size() + 1);
        if (size != nullptr) {
            *size = needed;
        }
        return fail(call, KORVAT_TAGS_E_BUFFER_TOO_SMALL, needed,
                    std::to_string(needed) + " bytes needed, " + std::to_string(capacity) + " given");
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    if (size != nullptr) {
        *size = static_cast<uint32_t>(text.size());
    }
    return true;
}

// Appends the record that `add` puts into a builder to the caller's message.
template <class Add>
bool appendRecord(const char *call, uint8_t *message, uint32_t capacity, uint32_t *messageSize, Add add)
{
    if (message == nullptr || messageSize == nullptr) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "message or message_size is null");
    }
    if (*messageSize > capacity) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0,
                    "*message_size " + std::to_string(*messageSize) + " is above the capacity " + std::to_string(capacity));
    }
    NdefBuilder builder;
    std::string error;
    if (!add(builder, error)) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, error);
    }
    Bytes whole(message, message + *messageSize);
    size_t offset = 0;
    if (!NdefBuilder::appendRecord(whole, builder.message(), error, offset)) {
        return fail(call, KORVAT_TAGS_E_INVALID_NDEF, static_cast<uint32_t>(offset), error);
    }
    if (whole.size() > capacity) {
        return fail(call, KORVAT_TAGS_E_BUFFER_TOO_SMALL, static_cast<uint32_t>(whole.size()),
                    std::to_string(whole.size()) + " bytes needed, " + std::to_string(capacity) + " given");
    }
    std::memcpy(message, whole.data(), whole.size());
    *messageSize = static_cast<uint32_t>(whole.size());
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------------------------

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_identify(const uint8_t *target_record, uint32_t record_size,
                                                                      KORVAT_TAG_INFO *info)
{
    const char *call = "korvatlib_tags_identify";
    if (info == nullptr) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "info is null");
    }
    TagIdentity identity;
    if (!onTag(call, target_record, record_size, [&](TagSession &tag) { return tag.identify(identity); })) {
        return KORVAT_NFC_FALSE;
    }
    std::memset(info, 0, sizeof(*info));
    info->tag_type = static_cast<uint32_t>(identity.kind);
    info->capacity = static_cast<uint32_t>(identity.capacity);
    info->message_size = static_cast<uint32_t>(identity.messageSize);
    info->writable = identity.writable ? 1 : 0;
    info->ndef_present = identity.ndefPresent ? 1 : 0;
    return KORVAT_NFC_TRUE;
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_read_ndef(const uint8_t *target_record, uint32_t record_size,
                                                                       uint8_t *message, uint32_t message_capacity,
                                                                       uint32_t *message_size)
{
    const char *call = "korvatlib_tags_read_ndef";
    if (message_size == nullptr || (message == nullptr && message_capacity != 0)) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "message_size is null, or message is null with a capacity");
    }
    Bytes read;
    if (!onTag(call, target_record, record_size, [&](TagSession &tag) { return tag.readNdef(read); })) {
        return KORVAT_NFC_FALSE;
    }
    if (read.size() > message_capacity) {
        *message_size = static_cast<uint32_t>(read.size());
        return fail(call, KORVAT_TAGS_E_BUFFER_TOO_SMALL, *message_size,
                    "the message has " + std::to_string(read.size()) + " bytes, the buffer " +
                        std::to_string(message_capacity));
    }
    if (!read.empty()) {
        std::memcpy(message, read.data(), read.size());
    }
    *message_size = static_cast<uint32_t>(read.size());
    return KORVAT_NFC_TRUE;
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_write_ndef(const uint8_t *target_record, uint32_t record_size,
                                                                        const uint8_t *message, uint32_t message_size)
{
    const char *call = "korvatlib_tags_write_ndef";
    std::vector<NdefRecord> records;
    // A message to write must be one a reader can take back; 0 bytes clear the tag.
    if (message_size != 0 && !parseMessage(call, message, message_size, records)) {
        return KORVAT_NFC_FALSE;
    }
    const Bytes bytes = message_size != 0 ? Bytes(message, message + message_size) : Bytes();
    return onTag(call, target_record, record_size, [&](TagSession &tag) { return tag.writeNdef(bytes); });
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_format(const uint8_t *target_record, uint32_t record_size)
{
    return onTag("korvatlib_tags_format", target_record, record_size, [](TagSession &tag) { return tag.format(); });
}

// ---------------------------------------------------------------------------------------------
// Building messages
// ---------------------------------------------------------------------------------------------

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_add_uri(uint8_t *message, uint32_t capacity,
                                                                          uint32_t *message_size, const char *uri)
{
    const char *call = "korvatlib_tags_ndef_add_uri";
    if (uri == nullptr) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "uri is null");
    }
    return appendRecord(call, message, capacity, message_size,
                        [&](NdefBuilder &builder, std::string &error) { return builder.addUri(uri, error); });
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_add_text(uint8_t *message, uint32_t capacity,
                                                                           uint32_t *message_size, const char *language,
                                                                           const char *utf8_text)
{
    const char *call = "korvatlib_tags_ndef_add_text";
    if (language == nullptr || utf8_text == nullptr) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "language or utf8_text is null");
    }
    return appendRecord(call, message, capacity, message_size, [&](NdefBuilder &builder, std::string &error) {
        return builder.addText(language, utf8_text, error);
    });
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_add_mime(uint8_t *message, uint32_t capacity,
                                                                           uint32_t *message_size, const char *mime_type,
                                                                           const uint8_t *payload, uint32_t payload_size)
{
    const char *call = "korvatlib_tags_ndef_add_mime";
    if (mime_type == nullptr || (payload == nullptr && payload_size != 0)) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "mime_type is null, or payload is null with a size");
    }
    const Bytes bytes = payload_size != 0 ? Bytes(payload, payload + payload_size) : Bytes();
    return appendRecord(call, message, capacity, message_size, [&](NdefBuilder &builder, std::string &error) {
        return builder.addMime(mime_type, bytes, error);
    });
}

// ---------------------------------------------------------------------------------------------
// Walking messages
// ---------------------------------------------------------------------------------------------

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_record_count(const uint8_t *message, uint32_t message_size,
                                                                               uint32_t *count)
{
    const char *call = "korvatlib_tags_ndef_record_count";
    if (count == nullptr) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "count is null");
    }
    std::vector<NdefRecord> records;
    if (!parseMessage(call, message, message_size, records)) {
        return KORVAT_NFC_FALSE;
    }
    *count = static_cast<uint32_t>(records.size());
    return KORVAT_NFC_TRUE;
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_get_record(const uint8_t *message, uint32_t message_size,
                                                                             uint32_t index, KORVAT_NDEF_RECORD *record,
                                                                             uint8_t *payload, uint32_t payload_capacity)
{
    const char *call = "korvatlib_tags_ndef_get_record";
    if (record == nullptr || (payload == nullptr && payload_capacity != 0)) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "record is null, or payload is null with a capacity");
    }
    NdefRecord found;
    if (!recordAt(call, message, message_size, index, found)) {
        return KORVAT_NFC_FALSE;
    }
    std::memset(record, 0, sizeof(*record));
    record->tnf = found.tnf;
    record->type_size = static_cast<uint8_t>(found.type.size());
    record->id_size = static_cast<uint8_t>(found.id.size());
    std::copy(found.type.begin(), found.type.end(), record->type);
    std::copy(found.id.begin(), found.id.end(), record->id);
    record->payload_size = static_cast<uint32_t>(found.payload.size());
    record->chunk_count = found.chunks;
    if (found.payload.size() > payload_capacity) {
        return fail(call, KORVAT_TAGS_E_BUFFER_TOO_SMALL, record->payload_size,
                    "the payload has " + std::to_string(found.payload.size()) + " bytes, the buffer " +
                        std::to_string(payload_capacity));
    }
    std::copy(found.payload.begin(), found.payload.end(), payload);
    return KORVAT_NFC_TRUE;
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_get_uri(const uint8_t *message, uint32_t message_size,
                                                                          uint32_t index, char *uri, uint32_t capacity,
                                                                          uint32_t *uri_size)
{
    const char *call = "korvatlib_tags_ndef_get_uri";
    if (uri_size == nullptr || (uri == nullptr && capacity != 0)) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "uri_size is null, or uri is null with a capacity");
    }
    NdefRecord record;
    if (!recordAt(call, message, message_size, index, record)) {
        return KORVAT_NFC_FALSE;
    }
    std::string text;
    if (!NdefMessage::uriOf(record, text)) {
        return fail(call, KORVAT_TAGS_E_WRONG_RECORD_TYPE, 0, "record " + std::to_string(index) + ": " + NdefMessage::describe(record));
    }
    return putString(call, text, uri, capacity, uri_size);
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_get_text(const uint8_t *message, uint32_t message_size,
                                                                           uint32_t index, char *language,
                                                                           uint32_t language_capacity, char *utf8_text,
                                                                           uint32_t text_capacity, uint32_t *text_size)
{
    const char *call = "korvatlib_tags_ndef_get_text";
    if (text_size == nullptr || (language == nullptr && language_capacity != 0) ||
        (utf8_text == nullptr && text_capacity != 0)) {
        return fail(call, KORVAT_TAGS_E_INVALID_ARGUMENT, 0,
                    "text_size is null, or language or utf8_text is null with a capacity");
    }
    NdefRecord record;
    if (!recordAt(call, message, message_size, index, record)) {
        return KORVAT_NFC_FALSE;
    }
    std::string lang, text;
    if (!NdefMessage::textOf(record, lang, text)) {
        return fail(call, KORVAT_TAGS_E_WRONG_RECORD_TYPE, 0, "record " + std::to_string(index) + ": " + NdefMessage::describe(record));
    }
    if (!putString(call, lang, language, language_capacity, nullptr)) {
        return KORVAT_NFC_FALSE;
    }
    return putString(call, text, utf8_text, text_capacity, text_size);
}

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_get_last_error(uint32_t *error_info)
{
    if (error_info == nullptr) {
        return fail("korvatlib_tags_get_last_error", KORVAT_TAGS_E_INVALID_ARGUMENT, 0, "error_info is null");
    }
    TagLastError::get(error_info[0], error_info[1]);
    return KORVAT_NFC_TRUE;
}
