// A whole tag session on arbitrary input: the first byte picks the operation (identify, read,
// write, format), then come a target information record and a message to write (each a length
// byte and its bytes), then the tag's answers (a length byte and its bytes; length FF: the
// exchange fails). Whatever the record and the tag say, the session ends, counts every command it
// sent, gives a kind only for a record whose sizes add up, and its results agree with each other.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TagSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t operation = input.byte();
    const std::vector<uint8_t> record = input.chunk();
    const std::vector<uint8_t> message = input.chunk();

    TagTarget target;
    std::string error;
    const TagStatus parsed = TagSession::parseTarget(record.empty() ? nullptr : record.data(), record.size(), target, error);
    if (parsed == TagStatus::Ok) {
        FUZZ_CHECK(error.empty());
        FUZZ_CHECK(target.kind == TagKind::Type2 || target.kind == TagKind::Type3 || target.kind == TagKind::Type4);
        FUZZ_CHECK(record.size() >= 21);
        FUZZ_CHECK((target.kind == TagKind::Type3) == (target.idm.size() == 8));
    } else {
        FUZZ_CHECK(parsed == TagStatus::InvalidArgument || parsed == TagStatus::UnsupportedTarget);
        FUZZ_CHECK(!error.empty() && target.kind == TagKind::Unknown);
        // The tag's answers are still worth trying: a kind of the operation byte's choosing.
        const TagKind kinds[] = {TagKind::Type2, TagKind::Type3, TagKind::Type4};
        target.kind = kinds[(operation >> 2) % 3];
        target.idm.assign(8, 0x01);
    }

    size_t exchanges = 0;
    TagSession session(target, [&](const std::vector<uint8_t> &command, std::vector<uint8_t> &response) {
        ++exchanges;
        FUZZ_CHECK(exchanges <= 200000);
        FUZZ_CHECK(!command.empty());
        const uint8_t length = input.byte();
        if (length == 0xFF || input.empty()) {
            return false;
        }
        response = input.bytes(length);
        return true;
    });
    TagStatus status = TagStatus::Ok;
    switch (operation & 3) {
    case 0: {
        TagIdentity identity;
        status = session.identify(identity);
        if (status == TagStatus::Ok) {
            FUZZ_CHECK(identity.kind == target.kind);
            FUZZ_CHECK(identity.messageSize <= identity.capacity);
            FUZZ_CHECK(identity.ndefPresent || (identity.capacity == 0 && identity.messageSize == 0));
        }
        break;
    }
    case 1: {
        std::vector<uint8_t> read;
        status = session.readNdef(read);
        FUZZ_CHECK(status == TagStatus::Ok || read.empty());
        break;
    }
    case 2:
        status = session.writeNdef(message);
        // Too large: the capacity is below the message's size, or there is no room even for the
        // empty NDEF TLV of a Type 2 Tag (capacity 0).
        FUZZ_CHECK(status != TagStatus::TooLarge || session.detail() < message.size() || session.detail() == 0);
        break;
    default:
        status = session.format();
        FUZZ_CHECK(status != TagStatus::TooLarge || target.kind == TagKind::Type2);
        break;
    }
    FUZZ_CHECK(session.commandsSent() == exchanges);
    FUZZ_CHECK(status == TagStatus::Ok || !session.report().empty());
    FUZZ_CHECK(status != TagStatus::InvalidArgument);
    return 0;
}
