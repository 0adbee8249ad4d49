// How writing an NDEF message to a tag (or making a tag NDEF-ready) ended.
#pragma once

enum class TagWriteOutcome {
    Writing,     // more commands to send
    Written,     // the tag holds the new message (or is NDEF-ready)
    ReadOnly,    // the tag is read-only or locked; nothing was written
    TooLarge,    // the message does not fit the tag; nothing was written
    Refused,     // the card refused a command (NAK, status word or status flags)
    InvalidTag,  // something the tag said is impossible or unsupported; nothing more is sent
};
